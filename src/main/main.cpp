// zk27-manager: the desktop card manager. It takes no arguments of its own.
#include <QApplication>

#include "descriptors.h"
#include "startup.h"

int main(int argc, char** argv) {
  if (!OpenStandardDescriptors()) return 1;
  QApplication app(argc, argv);
  QApplication::setApplicationName("zk27-manager");
  InstallHooks(GuiHooks());
  return RunMainProgram();
}
