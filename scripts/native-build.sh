# Sourced by the leg that builds the modules outside the package install (sanitizers)
# and runs the in-process suites against that build, and by the Windows leg.

# The suites that load the built modules in the test process.
IN_PROCESS_TESTS=(tests/pyco tests/kernel tests/transport tests/execution tests/invocation tests/ide tests/caskwell)

# configure_native DIR [CMAKE_ARGUMENT...]: a persistent, incremental build directory with
# the test-only module, against the active interpreter.
configure_native() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DVANTREL_BUILD_TESTS=ON -DVANTREL_INSTALL=OFF \
        -Dpybind11_DIR="$(python -c "import pybind11; print(pybind11.get_cmake_dir())")" \
        -DPython_EXECUTABLE="$(command -v python)" "$@" >/dev/null
}

# use_native_modules DIR: the tests load the modules built in DIR instead of the installed ones.
use_native_modules() {
    local dir=$1
    PYCO_TEST_MODULE="$PWD/$(ls "$dir"/_pyco_test*.so)"
    VANTREL_KERNEL_MODULE="$PWD/$(ls "$dir"/kernel*.so)"
    VANTREL_CASKWELL_MODULE="$PWD/$(ls "$dir"/caskwell*.so)"
    export PYCO_TEST_MODULE VANTREL_KERNEL_MODULE VANTREL_CASKWELL_MODULE
}

# require_debian_tool LEG COMMAND PACKAGE: installs Debian's PACKAGE when COMMAND is
# missing (needs root, as on CI); LEG names the leg in the messages.
require_debian_tool() {
    local leg=$1 command=$2 package=$3
    if command -v "$command" >/dev/null 2>&1; then
        return
    fi
    if [ "$(id -u)" != "0" ]; then
        echo "$leg: $command not found (install Debian's $package package)" >&2
        exit 1
    fi
    echo "$leg: installing $package from Debian's packages" >&2
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$package" >/dev/null
}
