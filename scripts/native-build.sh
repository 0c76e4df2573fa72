# Sourced by the legs that build the modules outside the package install (sanitizer,
# clang) and run the in-process suites against that build.

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
