#!/usr/bin/env bash
# bank_unsynchronized (built with -DBANK_UNSYNCHRONIZED=ON): its --help names
# it and says the critical section is left out, and is otherwise bank's; on
# one file (one thread, no race) it prints what bank prints; an install of the
# build holds bank and not it.
# usage: unsynchronized_test.sh BANK BANK_UNSYNCHRONIZED BUILD_DIR EXAMPLE SCRATCH_DIR
set -u
bank=$1 racy=$2 build=$3 example=$4 scratch=$5
status=0
fail() { echo "FAIL: $*"; status=1; }
rm -rf "$scratch"
mkdir -p "$scratch/bank" "$scratch/racy"

"$racy" --help >"$scratch/racy_help.txt" || fail "--help: status $?"
"$bank" --help >"$scratch/bank_help.txt"
head -n 1 "$scratch/racy_help.txt" | grep -q '^usage: bank_unsynchronized ' ||
  fail "usage line: $(head -n 1 "$scratch/racy_help.txt")"
grep -q 'WITHOUT the critical section' "$scratch/racy_help.txt" || fail "--help does not say what it is"
grep -q 'critical section' "$scratch/bank_help.txt" && fail "bank's --help changed"
# Past its own paragraph, the text is bank's.
diff <(tail -n +7 "$scratch/racy_help.txt") <(tail -n +3 "$scratch/bank_help.txt") >/dev/null ||
  fail "the rest of --help differs from bank's"
"$racy" --version | grep -q '^bank_unsynchronized (Parallel labs) ' || fail "--version"

cp "$example" "$scratch/bank/in.txt"
cp "$example" "$scratch/racy/in.txt"
(cd "$scratch/bank" && NO_COLOR=1 "$bank" 1 in.txt >out.txt 2>&1)
(cd "$scratch/racy" && NO_COLOR=1 "$racy" 1 in.txt >out.txt 2>&1)
cmp -s "$scratch/bank/out.txt" "$scratch/racy/out.txt" || fail "one thread: output differs from bank's"
cmp -s "$scratch/bank/p0.log" "$scratch/racy/p0.log" || fail "one thread: log differs from bank's"

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null || fail "install failed"
[ -x "$scratch/prefix/bin/bank" ] || fail "install holds no bin/bank"
[ ! -e "$scratch/prefix/bin/bank_unsynchronized" ] || fail "bank_unsynchronized was installed"
[ $status -ne 0 ] || echo "--help says what it is; one thread as bank; not installed"
exit $status
