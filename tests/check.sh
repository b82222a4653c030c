# The counting checks of the shell test scripts; sourced, then `check DESCRIPTION COMMAND...`
# and at the end "$passed passed, $failed failed".
passed=0
failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then ok; else bad "$what"; fi
}
