import pytest


def raises_with_note(exc_type, message, note, fn, *args, **kwargs):
    """Calls fn, expecting exc_type with `message` (unless None) and, when
    `note` names a parameter, exactly the note the binder adds for it."""
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == ([f"while processing '{note}'"] if note else [])
    return info.value


@pytest.fixture(name="raises_with_note")
def raises_with_note_fixture():
    return raises_with_note
