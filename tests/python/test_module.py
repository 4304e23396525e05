import velorium


def test_module_imports_without_touching_files():
    assert velorium.__name__ == "velorium"
    assert velorium.__doc__ is None
