#!/bin/bash
# scripts/demo builds without a word unless the build fails, and then shows
# the build's output: run from a copy of it whose install-deps does nothing,
# with a cmake of its own on the PATH that talks, makes a kestrane-cli that
# says how it was called, or fails when told.
# Usage: demo_test.sh SCRIPTS-DEMO
set -u
demo=$(realpath "$1")
. "$(dirname "$0")/../common/cli_common.sh"

mkdir -p root/scripts bin
cp "$demo" root/scripts/demo
printf '#!/bin/bash\n' > root/scripts/install-deps
cat > bin/cmake <<'CMAKE'
#!/bin/bash
echo "cmake's chatter: $*"
echo "cmake's warning" >&2
[ -z "${CMAKE_FAILS:-}" ] || exit 2
if [ "$1" = --build ]; then
  mkdir -p "$2"
  printf '#!/bin/bash\necho "kestrane-cli $*"\n' > "$2/kestrane-cli"
  chmod +x "$2/kestrane-cli"
fi
CMAKE
chmod +x bin/cmake root/scripts/install-deps

PATH=$work/bin:$PATH bash root/scripts/demo cli identify --json > out 2> err
status=$?
[ "$status" -eq 0 ] && [ "$(cat out)" = "kestrane-cli identify --json" ] && [ ! -s err ] ||
  fail "a build that works is not quiet ($status): $(cat out err)"
grep -q "cmake's chatter" root/build/demo-build.log || fail "the build's output is not in its log"
CMAKE_FAILS=1 PATH=$work/bin:$PATH bash root/scripts/demo cli identify > out 2> err
status=$?
[ "$status" -ne 0 ] && [ ! -s out ] && grep -q "cmake's chatter" err && grep -q "cmake's warning" err &&
  grep -q "the build failed" err || fail "a build that fails is not shown ($status): $(cat out err)"

[ "$failures" -eq 0 ] || exit 1
echo "scripts/demo: quiet while the build works, its output shown when it fails"
