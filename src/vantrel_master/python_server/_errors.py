"""How the companions name an exception in the texts they answer with."""


def describe_error(error: BaseException) -> str:
    """"Type: message" of an exception (the type alone when the message is empty or cannot
    be had); never raises.

    Whatever str() raises is passed over, BaseException included: the debugger describes
    exceptions of user code, whose __str__ may raise anything, and the description is its
    answer, which must not end the debug session; the language service describes jedi's
    exceptions, whose str() raises nothing else."""
    try:
        text = str(error)
    except BaseException:
        text = ""
    name = type(error).__name__
    return f"{name}: {text}" if text else name
