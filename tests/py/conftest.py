import pytest


@pytest.fixture
def core():
    import engine.core as core

    return core
