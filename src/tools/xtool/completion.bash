# Bash completion for xtool. The words come from the tool itself (xtool --complete WORD...),
# which prints what may follow WORD..., one a line; ":file" and ":dir" ask for file names.
_xtool() {
  local cur=${COMP_WORDS[COMP_CWORD]} word names=
  local -a words=()
  COMPREPLY=()
  while IFS= read -r word; do
    case $word in
      :file) names=f ;;
      :dir) names=d ;;
      -*) [[ $cur == -* ]] && words+=("$word") ;;
      *) [[ $cur != -* ]] && words+=("$word") ;;
    esac
  done < <("${COMP_WORDS[0]/#\~/$HOME}" --complete "${COMP_WORDS[@]:1:COMP_CWORD-1}" 2>/dev/null)
  mapfile -t COMPREPLY < <(compgen -W "${words[*]}" -- "$cur")
  if [[ -n $names && $cur != -* ]]; then
    compopt -o filenames 2>/dev/null
    mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -"$names" -- "$cur")
  fi
}
complete -F _xtool xtool
