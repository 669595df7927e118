# The Windows ZIP: zk27.exe, the README's Windows section as a text file and
# the project's copyright statement, in zk27-VERSION-windows-x86_64/.
# Made by `cpack` in the Windows build folder (scripts/build-windows --package).
install(TARGETS zk27 RUNTIME DESTINATION .)
# The README's section from its heading to the next one of its level, with
# Windows' line ends so that Notepad of any age shows it.
file(READ ${PROJECT_SOURCE_DIR}/README.md zk27_readme)
string(FIND "${zk27_readme}" "\n## Windows\n" zk27_windows_start)
if(zk27_windows_start LESS 0)
  message(FATAL_ERROR "README.md has no \"## Windows\" section for the ZIP")
endif()
math(EXPR zk27_windows_start "${zk27_windows_start} + 1")
string(SUBSTRING "${zk27_readme}" ${zk27_windows_start} -1 zk27_windows)
string(FIND "${zk27_windows}" "\n## " zk27_windows_end)
if(zk27_windows_end GREATER 0)
  string(SUBSTRING "${zk27_windows}" 0 ${zk27_windows_end} zk27_windows)
endif()
string(REPLACE "\n" "\r\n" zk27_windows "${zk27_windows}\n")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/windows.txt "${zk27_windows}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
install(FILES ${CMAKE_BINARY_DIR}/packaging/windows.txt DESTINATION .)
# The project has published no licence yet: its copyright statement says so
# and goes into the ZIP in the licence's place.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION . RENAME copyright.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME zk27)
set(CPACK_PACKAGE_VENDOR "ZK27 card manager project")
set(CPACK_PACKAGE_FILE_NAME zk27-${PROJECT_VERSION}-windows-x86_64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
