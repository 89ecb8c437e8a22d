def test_defaults(core):
    assert core.RETRY_COUNT == 3
    assert core.CDP_URL == "http://127.0.0.1:9222"
