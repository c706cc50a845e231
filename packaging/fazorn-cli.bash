# bash completion for fazorn-cli: the commands and options are read once
# per shell from `fazorn-cli --help`, so a new command or option completes
# without editing this file; anything else completes as a file name.
_fazorn_cli() {
  local cur="${COMP_WORDS[COMP_CWORD]}"
  if [ -z "${_fazorn_cli_help+x}" ]; then
    _fazorn_cli_help="$("${COMP_WORDS[0]}" --help 2>/dev/null)"
  fi
  if [ "$COMP_CWORD" -eq 1 ] && [[ "$cur" != -* ]]; then
    local commands
    commands="$(printf '%s\n' "$_fazorn_cli_help" | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p; s/^  \([a-z][a-z-]*\)$/\1/p' | sort -u)"
    COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    return
  fi
  case "${COMP_WORDS[COMP_CWORD-1]}" in
    --method) COMPREPLY=($(compgen -W "aov aovtr ls" -- "$cur")); return ;;
    --route) COMPREPLY=($(compgen -W "exact fast auto" -- "$cur")); return ;;
    --format) COMPREPLY=($(compgen -W "png pdf svg" -- "$cur")); return ;;
    --out|--plot) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    --randomize) COMPREPLY=($(compgen -W "permute noise" -- "$cur")); return ;;
  esac
  if [[ "$cur" == -* ]]; then
    local options
    options="$(printf '%s\n' "$_fazorn_cli_help" | grep -oE -- '--[a-z][a-z-]+' | sort -u)"
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return
  fi
  COMPREPLY=($(compgen -f -- "$cur"))
}
complete -o filenames -F _fazorn_cli fazorn-cli
