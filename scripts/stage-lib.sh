# Sourced by the set-up and test scripts, bash and dash alike (install-deps.sh is sh).

# install_packages PACKAGE...: installs those not installed yet; fails when apt does.
install_packages() {
  local package
  missing=""
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing="$missing $package"
  done
  [ -n "$missing" ] || return 0
  echo "installing:$missing"
  apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
}

# check NAME COMMAND...: one row of a stage, passed when COMMAND succeeds; the counts
# feed the stage's closing "N passed, N failed".
passed=0
failed=0
check() {
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "PASS  $name"
  else
    failed=$((failed + 1))
    echo "FAIL  $name"
    return 1
  fi
}
