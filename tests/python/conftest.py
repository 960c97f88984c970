import sys

import pytest

FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)() or bool(
    __import__("sysconfig").get_config_var("Py_GIL_DISABLED")
)


@pytest.fixture(scope="session")
def corvel():
    import _corvel_backend

    return _corvel_backend
