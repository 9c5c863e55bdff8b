# bash completion for ifind
_ifind() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    --exclude-from) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    -e|--exclude|--exclude-if-present|--streams|--threads|--debug-level|--wait|--name|--forget|--job|--mpi-timeout|-j|-a|-d|-f|-t|-r|-s|-cn|-jt|-i|-appType|-vm)
      return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "--full --incremental --differential -e --exclude --exclude-from --exclude-caches
      --exclude-if-present -x --one-file-system -H --dereference-args --appledouble --preserve-atime --streams
      --threads --single-stats --batch-stats --mpi --mpi-timeout --debug-level --wait --name -q --quiet --json --history --list --job --forget -0 --null
      --files-only -h --help -V --version -j -a -d -f -t -r -s -cn -jt -i -appType -vm -cs" -- "$cur"))
  else
    COMPREPLY=($(compgen -d -- "$cur"))
  fi
}
complete -o filenames -F _ifind ifind
