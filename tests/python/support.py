"""Small helpers shared by the Python tests."""


def raised(call):
    """The exception `call()` raises, or None."""
    try:
        call()
    except Exception as e:  # noqa: BLE001 - the exception is the result
        return e
    return None
