# Shared by the check scripts (sourced, not run): which interpreters to use and where their
# virtual environments are.
#
#   VEXO_VENVS        folder of the environments, one per CPython version (default .venvs, the
#                     ones `make test` makes; a check installs the package there as it does)
#   VEXO_BUILD_DIR    build folder of those installs (default build)
#   VEXO_CHECK_PYTHONS  versions to check, e.g. "3.13" or "3.10 3.13" (default: every one found)
#   VEXO_CHECK_INSTALLED=1  use the environments as they are, without reinstalling the package
#                     (CI, right after `make test` has installed it)

cd "$(dirname "${BASH_SOURCE[0]}")/.."
venvs=${VEXO_VENVS:-.venvs}
build_dir=${VEXO_BUILD_DIR:-build}

# "VERSION PATH" lines of the interpreters to check.
check_pythons() {
  local line
  while read -r line; do
    [ -z "${VEXO_CHECK_PYTHONS:-}" ] && { echo "$line"; continue; }
    case " $VEXO_CHECK_PYTHONS " in *" ${line%% *} "*) echo "$line" ;; esac
  done < <(scripts/find-pythons)
}

# prepare_env VERSION EXE [ENV_DIR [BUILD_DIR [extra environment...]]]: an environment holding the
# package with its test dependencies, built as `make test` builds it. Prints nothing on success.
prepare_env() {
  local ver=$1 exe=$2 env_dir=${3:-$venvs/$1} builds=${4:-$build_dir}
  shift $(($# < 4 ? $# : 4))
  [ -x "$env_dir/bin/python" ] || "$exe" -m venv "$env_dir"
  # How the module is loaded to see that it is there (a sanitized build needs its runtime first).
  local load=(${import_prefix[@]+"${import_prefix[@]}"} "$env_dir/bin/python" -c 'import vexo._vexo')
  if [ "${VEXO_CHECK_INSTALLED:-0}" = 1 ] && "${load[@]}" 2>/dev/null; then
    return 0
  fi
  "$env_dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip 2>&1 \
    | grep -v '^WARNING: Location' || true
  env SKBUILD_BUILD_DIR="$builds/{wheel_tag}" VEXO_WERROR=ON VEXO_TESTING=ON "$@" \
    "$env_dir/bin/python" -m pip install -q --disable-pip-version-check ".[test]" 2>&1 \
    | grep -v '^WARNING: Location' || true
  "${load[@]}" || {
    echo "error: the package did not install into $env_dir" >&2
    return 1
  }
}

# run_on_each_python NAME COMMAND...: prepares each interpreter's environment and runs COMMAND
# with PYTHON set to its interpreter; fails if any run fails.
run_on_each_python() {
  local name=$1 line ver exe failed=() started
  shift
  mapfile -t lines < <(check_pythons)
  if [ "${#lines[@]}" = 0 ]; then
    echo "error: no CPython 3.10 to 3.13 found${VEXO_CHECK_PYTHONS:+ among $VEXO_CHECK_PYTHONS}" >&2
    return 1
  fi
  for line in "${lines[@]}"; do
    ver=${line%% *}; exe=${line#* }
    echo "=== $name: CPython $ver"
    prepare_env "$ver" "$exe" || { failed+=("$ver"); continue; }
    started=$SECONDS
    if PYTHON="$PWD/$venvs/$ver/bin/python" "$@"; then
      echo "=== $name: CPython $ver passed ($((SECONDS - started)) s)"
    else
      echo "=== $name: CPython $ver FAILED" >&2
      failed+=("$ver")
    fi
  done
  if [ "${#failed[@]}" != 0 ]; then
    echo "$name failed on: ${failed[*]}" >&2
    return 1
  fi
  echo "$name passed"
}
