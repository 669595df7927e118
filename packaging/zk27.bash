# bash completion for zk27: commands, options, and the names of the files on
# the card (read with 'zk27 ls' from the card the command line names).

_zk27_card_names() {
  local image=() i
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      -i | --image) image=(--image "${COMP_WORDS[i + 1]}") ;;
      --image=*) image=("${COMP_WORDS[i]}") ;;
    esac
  done
  # Quiet, and quick to give up: a missing player must not hang the shell.
  ZK27_LOCK_WAIT=0 zk27 -q "${image[@]}" ls 2>/dev/null
}

_zk27() {
  local cur prev words cword
  if declare -F _init_completion >/dev/null; then
    _init_completion -n = || return
  else
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  fi

  local commands="info ls put get rm mv order backup restore sync import format towav check devices help"
  local global="-i --image -v --verbose -q --quiet --sync -h --help --version"
  case $prev in
    -i | --image)
      COMPREPLY=($(compgen -f -- "$cur"))
      return
      ;;
    --format)
      COMPREPLY=($(compgen -W "wav flac ogg" -- "$cur"))
      return
      ;;
    --rate)
      COMPREPLY=($(compgen -W "8000 11025 16000 22050 44100 48000" -- "$cur"))
      return
      ;;
  esac

  # The command: the first word that is no option nor an option's value.
  local command="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      -i | --image | --format | --rate) ((i++)) ;;
      --) command=${words[i + 1]}; break ;;
      -*) ;;
      *) command=${words[i]}; break ;;
    esac
  done

  if [[ -z $command ]]; then
    if [[ $cur == -* ]]; then
      COMPREPLY=($(compgen -W "$global" -- "$cur"))
    else
      COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    fi
    return
  fi

  local own=""
  case $command in
    ls) own="-l --long -h --human-readable" ;;
    get) own="-a --all" ;;
    towav) own="-a --all --format --rate" ;;
    format) own="-y --yes" ;;
    restore) own="-y --yes --files" ;;
    check) own="--repair -y --yes" ;;
    order) own="--by-name" ;;
    sync) own="--delete --dry-run --partial" ;;
    import) own="--format --keep-voc --free --again --dry-run --notify --enable-on-plug --disable-on-plug" ;;
  esac
  if [[ $cur == -* ]]; then
    # ls's -h is its sizes, and the help is --help there: each word once.
    local word words_offered=""
    for word in $own $global; do
      [[ " $words_offered " == *" $word "* ]] || words_offered+=" $word"
    done
    COMPREPLY=($(compgen -W "$words_offered" -- "$cur"))
    return
  fi

  case $command in
    backup | restore)
      COMPREPLY=($(compgen -f -- "$cur"))
      compopt -o filenames 2>/dev/null
      ;;
    sync | import)
      COMPREPLY=($(compgen -d -- "$cur"))
      compopt -o filenames 2>/dev/null
      ;;
    put)
      # Folders, and the files the card takes: .mp3 and .voc in any case.
      local path IFS=$'\n'
      COMPREPLY=()
      for path in $(compgen -f -- "$cur"); do
        if [[ -d $path ]]; then
          COMPREPLY+=("$path")
        else
          case ${path,,} in *.mp3 | *.voc) COMPREPLY+=("$path") ;; esac
        fi
      done
      compopt -o filenames 2>/dev/null
      ;;
    get | rm | towav | mv | order)
      # Card names may hold blanks and shell characters: each is offered
      # quoted, one per line. towav converts voice recordings only and order
      # moves music only, so each is offered the files of its kind (the text
      # after the last dot, in any case).
      local name kind="" IFS=$'\n'
      case $command in
        towav) kind=voc ;;
        order) kind=mp3 ;;
      esac
      COMPREPLY=()
      while IFS= read -r name; do
        [[ $name == "$cur"* ]] || continue
        [[ -z $kind || ${name,,} == *.$kind ]] && COMPREPLY+=("$(printf '%q' "$name")")
      done < <(_zk27_card_names "${words[@]}")
      ;;
    help)
      COMPREPLY=($(compgen -W "$commands" -- "$cur"))
      ;;
  esac
}

complete -F _zk27 zk27
