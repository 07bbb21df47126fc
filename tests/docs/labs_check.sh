#!/usr/bin/env bash
# Runs the commands of docs/labs.md as written and compares their output with
# the guide's sample lines.
# usage: labs_check.sh SOURCE_DIR BUILD_DIR PROGRAM_DIRS MPI_FAMILY SCRATCH_DIR
#   PROGRAM_DIRS  the build's folders of the programs, colon-separated: the
#                 guide's PATH
#   MPI_FAMILY    "Open MPI", "MPICH" or empty: the MPI lab runs with Open MPI
#                 only (its commands are Open MPI's)
#
# The guide's code blocks say by their first line what they are:
#   ```sh          commands, run in order, every block of one lab ("## Lab N")
#                  in one bash (set -e) in a scratch folder, with the
#                  programs on PATH, LABS the source folder and NO_COLOR set
#   ```text checked
#                  sample output: every line must be a line of what the
#                  commands of the sh block before it printed (blanks at the
#                  ends of lines do not count; the order does not either)
#   ```sh static   commands too long or too demanding to run here (builds,
#                  root, the emulated cluster): every script they name exists
#                  and its usage names each option and subcommand given, and
#                  every file of the repository they name exists
#   ```sh setup    the build and PATH: each folder put on PATH is one of the
#                  build's
# Any other block is only read by people.
set -u
source=$1 build=$2 program_dirs=$3 mpi_family=$4 scratch=$5
guide="$source/docs/labs.md"
status=0
fail() { echo "FAIL: $*"; status=1; }
rm -rf "$scratch"
mkdir -p "$scratch"

# Split the guide into numbered blocks: block N's text in $scratch/block.N,
# its kind in kinds[N] and its lab (0 before the first lab) in labs[N].
kinds=() labs=()
awk -v dir="$scratch" '
  /^## Lab [0-9]+/ { lab = $3 + 0 }
  !inside && /^```/ { inside = 1; n++; info = substr($0, 4); file = dir "/block." n
                      print info "|" lab > (dir "/index"); printf "" > file; next }
  inside && /^```$/ { inside = 0; close(file); next }
  inside { print > file }' "$guide"
while IFS='|' read -r kind lab; do
  kinds+=("$kind")
  labs+=("$lab")
done <"$scratch/index"
[ ${#kinds[@]} -gt 0 ] || { fail "no code block in $guide"; exit 1; }

# Static checks of the "sh static" blocks.
script_usage() { sed -n '/^# usage:/,/^[^#]/{/^#/!q;s/^# \{0,1\}//p}' "$1"; }
check_static() {
  local line words i word script usage
  while IFS= read -r line; do
    read -r -a words <<<"$line"
    for ((i = 0; i < ${#words[@]}; i++)); do
      word=${words[i]}
      case $word in
        \$LABS/scripts/*.sh)
          script="$source/${word#\$LABS/}"
          [ -f "$script" ] || { fail "static block: no $word"; continue; }
          usage=$(script_usage "$script")
          for ((j = i + 1; j < ${#words[@]}; j++)); do
            case ${words[j]} in
              -?) grep -qE -- "(^|[[ ])${words[j]}( |\]|,)" <<<"$usage" ||
                    fail "$word: usage has no option ${words[j]}" ;;
              [a-z]*) if [[ $usage == *COMMAND* ]]; then
                        # What follows the command is the command's own.
                        grep -qE "^  ${words[j]}( |$)" <<<"$usage" ||
                          fail "$word: usage has no command ${words[j]}"
                        break
                      fi ;;
            esac
          done ;;
        \$LABS/examples/* | \$LABS/build/release/*)
          local path=${word#\$LABS/}
          path=${path%\"}
          case $path in
            build/release/*) [ -e "$build/${path#build/release/}" ] ||
                               fail "static block: the build has no ${path#build/release/}" ;;
            *) [ -e "$source/$path" ] || fail "static block: no $path" ;;
          esac ;;
      esac
    done
  done
}

# The "sh setup" block: each $LABS/build/release/DIR on PATH is a folder of
# the build, and the programs' folders are all among them.
check_setup() {
  local dirs dir
  dirs=$(sed -n 's/^export PATH=//p' "$1" | tr ':' '\n' | sed -n 's|^\$LABS/build/release/||p')
  [ -n "$dirs" ] || { fail "setup block: no PATH of build folders"; return; }
  for dir in $dirs; do
    [ -d "$build/$dir" ] || fail "setup block: the build has no folder $dir"
  done
  for dir in ${program_dirs//:/ }; do
    grep -qx "${dir#"$build"/}" <<<"$dirs" || fail "setup block: $dir is not on its PATH"
  done
}

# The race checker's sample: each first frame "#0 FUNC(...) .../src/bank.cpp:L:C"
# names a line of FUNC whose column C starts a read of a balance
# (account_balances[) or the update of one (+= or -= on a line that begins
# with it), so that the sample follows the source when its lines move.
refs=0
while read -r func line col; do
  refs=$((refs + 1)) text=$(sed -n "${line}p" "$source/src/bank.cpp")
  owner=$(awk -v n="$line" 'NR <= n && /^[a-z][^(]* [a-z_]+\(/ { f = $0 } NR == n { print f }' "$source/src/bank.cpp")
  [[ $owner == *" $func("* && (${text:col-1} == account_balances\[* ||
     (${text:col-1} == [+-]=* && $text =~ ^\ *account_balances\[)) ]] ||
    fail "race sample: src/bank.cpp:$line:$col, '${text:col-1:20}' in '$owner', is no balance access in $func"
done < <(grep -oE '#0 [a-z_]+\([^)]*\) [^ ]*/src/bank\.cpp:[0-9]+:[0-9]+' "$guide" |
         sed -E 's/^#0 ([a-z_]+)\(.*:([0-9]+):([0-9]+)$/\1 \2 \3/')
[ "$refs" -gt 0 ] || fail "race sample: no reference to src/bank.cpp in $guide"

# Lab by lab: the sh blocks as one script, each block's output after a marker.
declare -A lab_script
for ((n = 1; n <= ${#kinds[@]}; n++)); do
  kind=${kinds[n - 1]} lab=${labs[n - 1]}
  case $kind in
    "sh static") check_static <"$scratch/block.$n" ;;
    "sh setup") check_setup "$scratch/block.$n" ;;
    sh)
      [ "$lab" -gt 0 ] || { fail "block $n: commands outside a lab"; continue; }
      lab_script[$lab]+="echo '@@block $n@@'"$'\n'"$(cat "$scratch/block.$n")"$'\n' ;;
  esac
done

for lab in "${!lab_script[@]}"; do
  if grep -qE '(^|[ ;])mpirun ' <<<"${lab_script[$lab]}" && [ "$mpi_family" != "Open MPI" ]; then
    echo "Lab $lab: skipped, its commands are Open MPI's (this build: ${mpi_family:-no MPI})"
    continue
  fi
  mkdir -p "$scratch/lab$lab/tmp"
  printf 'set -e\n%s' "${lab_script[$lab]}" >"$scratch/lab$lab/commands.sh"
  (cd "$scratch/lab$lab" && PATH="$program_dirs:$PATH" LABS="$source" TMPDIR="$scratch/lab$lab/tmp" \
     OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_btl_tcp_disable_family=6 \
     timeout 240 bash commands.sh >output.txt 2>&1)
  rc=$?
  [ "$rc" -eq 0 ] || fail "Lab $lab: status $rc; the end of its output: $(tail -n 5 "$scratch/lab$lab/output.txt")"
  # Every "text checked" block against the output of the sh block before it.
  last=""
  for ((n = 1; n <= ${#kinds[@]}; n++)); do
    [ "${labs[n - 1]}" = "$lab" ] || continue
    case ${kinds[n - 1]} in
      sh) last=$n ;;
      "text checked")
        [ -n "$last" ] || { fail "block $n: checked output without commands before it"; continue; }
        awk -v n="$last" '/^@@block [0-9]+@@$/ { on = ($0 == "@@block " n "@@"); next }
                          on { sub(/[ \t\r]+$/, ""); print }' "$scratch/lab$lab/output.txt" \
          >"$scratch/lab$lab/out.$last"
        while IFS= read -r expected; do
          expected=${expected%"${expected##*[![:space:]]}"}
          [ -n "$expected" ] || continue
          grep -qxF -- "$expected" "$scratch/lab$lab/out.$last" ||
            fail "Lab $lab, block $n: no line \"$expected\" in the output (in $scratch/lab$lab/out.$last)"
        done <"$scratch/block.$n" ;;
    esac
  done
  [ "$rc" -ne 0 ] || echo "Lab $lab: commands ran; sample lines found"
done
[ $status -ne 0 ] || echo "docs/labs.md: commands run as written, sample output as stated"
exit $status
