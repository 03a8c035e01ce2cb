# What the test command's scripts share; sourced, never run. A scratch folder that goes
# at exit, and check: a description, then a command that must succeed. A script ends
# with `exit "$failed"` or its own summary of it.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=0
check() {  # description, then a command that must succeed
  local description=$1
  shift
  if "$@"; then
    echo "ok   $description"
  else
    echo "FAIL $description"
    failed=1
  fi
}
