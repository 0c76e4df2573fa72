#pragma once

#include "kernel/messages.hpp"

namespace kernel {

enum class EnvMessage {
    AddPath,
    RemovePath,
    ResetNamespace,
    ResetPath,
    SetPackagePaths,
    SetPythonPaths,
    UnloadAndClearPaths,
    UpdateModule,
    DeleteModule,
};

// Carries out one environment or module message and returns the awaitable that sends
// its reply (a malformed field is answered with an error reply and changes nothing).
py::object handle_environment_message(const py::object& self, EnvMessage which, const py::object& message);

}  // namespace kernel
