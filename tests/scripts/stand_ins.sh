# Sourced by the scripts' tests. set_up_copy SRC SCRATCH CMD...: SCRATCH made
# anew with a copy of the scripts of SRC in SCRATCH/repo/scripts, an empty
# working folder SCRATCH/work, and in SCRATCH/bin a stand-in for each CMD
# that records its call in SCRATCH/calls and fails.
set_up_copy() {
  local src=$1 scratch=$2 cmd
  shift 2
  rm -rf "$scratch"
  mkdir -p "$scratch/repo/scripts" "$scratch/bin" "$scratch/work"
  cp -p "$src"/*.sh "$scratch/repo/scripts/"
  for cmd in "$@"; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\nexit 1\n' "$cmd" "$scratch" >"$scratch/bin/$cmd"
    chmod 755 "$scratch/bin/$cmd"
  done
}

# path_without DIR CMD...: prints DIR, made anew with links to every command on
# PATH but the CMDs: a PATH without them, whatever the machine has installed.
path_without() {
  local dir=$1 file
  shift
  rm -rf "$dir" && mkdir -p "$dir"
  for file in ${PATH//:/\/* }/*; do
    [[ ! -e $file || " $* " == *" ${file##*/} "* || -e $dir/${file##*/} ]] || ln -s "$file" "$dir/"
  done
  echo "$dir"
}
