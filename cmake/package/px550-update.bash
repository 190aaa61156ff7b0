# bash completion for px550-update: its subcommands and options, and for --port the serial ports
# that `px550-update ports` lists (a leading * marks its default one).
_px550_update() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  local command= i
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      ports | identify | flash)
        command=${COMP_WORDS[i]}
        break
        ;;
    esac
  done

  case $prev in
    --port)
      local ports
      ports=$("${COMP_WORDS[0]}" ports 2>/dev/null | awk '{ sub(/^\*/, "", $1); print $1 }')
      COMPREPLY=($(compgen -W "$ports" -- "$cur"))
      return
      ;;
    --progress)
      COMPREPLY=($(compgen -W "auto bar plain json none" -- "$cur"))
      return
      ;;
    --trace)
      COMPREPLY=($(compgen -f -- "$cur"))
      return
      ;;
    --pedal-arg)
      return
      ;;
  esac

  local words
  case $command in
    "") words="ports identify flash --help --version" ;;
    ports) words="--help" ;;
    identify) words="--port --simulate --pedal-arg --help" ;;
    flash) words="--port --progress --trace --yes --simulate --pedal-arg --help" ;;
  esac
  COMPREPLY=($(compgen -W "$words" -- "$cur"))
}
complete -F _px550_update px550-update
