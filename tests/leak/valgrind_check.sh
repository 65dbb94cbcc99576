#!/bin/sh
# Runs a test program under valgrind's memcheck and fails on any memory error (an invalid read
# or write, a jump on uninitialised data) and when it leaked memory for good ("definitely
# lost") anywhere our own code (src/) stands on the allocation's stack. The toolkit's one-time
# allocations are kept out by the suppression file.
#   valgrind_check.sh SUPPRESSIONS SOURCE_ROOT PROGRAM [ARGUMENTS...]
set -u
supp=$1
root=$2
shift 2
if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind is not installed (Debian package valgrind)" >&2
  exit 1
fi
# TOVIMO_VALGRIND_LOG keeps the whole report in a file of that name.
if [ -n "${TOVIMO_VALGRIND_LOG:-}" ]; then
  log=$TOVIMO_VALGRIND_LOG
else
  log=$(mktemp "${TMPDIR:-/tmp}/tovimo-valgrind-XXXXXX")
  trap 'rm -f "$log"' EXIT
fi

G_SLICE=always-malloc G_DEBUG=gc-friendly valgrind --tool=memcheck --leak-check=full \
  --show-leak-kinds=definite --errors-for-leak-kinds=none --num-callers=60 \
  --child-silent-after-fork=yes --error-exitcode=42 \
  --suppressions="$supp" --fullpath-after="$root/" --log-file="$log" "$@"
status=$?

# One record per blank-line separated block of the log; ours when a frame lies in src/.
ours=$(awk '
  { sub(/^==[0-9]+== ?/, "") }
  /are definitely lost in loss record/ { block = $0 "\n"; inside = 1; mine = 0; next }
  inside && $0 == "" { if (mine) { printf "%s\n", block; n++ } inside = 0; next }
  inside { block = block $0 "\n"; if ($0 ~ /\(src\//) mine = 1 }
  END { if (inside && mine) { printf "%s\n", block; n++ } exit n > 0 }
' "$log")
leaked=$?
sed -n '/LEAK SUMMARY/,/suppressed:/p' "$log"
if [ "$leaked" -ne 0 ]; then
  echo "Memory lost for good with our code on the stack:"
  echo "$ours"
fi
if [ "$status" -eq 42 ]; then
  echo "Memory errors:"
  grep -E -A30 '^==[0-9]+== (Invalid|Conditional|Use of uninit|Syscall param|Mismatched|Source and destination)' "$log" | head -200
fi
if [ "$status" -ne 0 ]; then
  echo "the program failed under valgrind (status $status)"
  exit "$status"
fi
exit "$leaked"
