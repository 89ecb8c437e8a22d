"""Debug screenshots of real tabs in Debian's Chromium."""
import os
import re
import struct

import pytest
from playwright.sync_api import sync_playwright

from support_chromium import cdp, chromium, line, logged, page_server  # noqa: F401


@pytest.fixture(scope="module")
def playwright():
    with sync_playwright() as pw:
        yield pw


@pytest.fixture
def tab(cdp, playwright):
    browser = playwright.chromium.connect_over_cdp(cdp.cdp_url)
    page = browser.contexts[0].new_page()
    yield page
    page.close()


def png_size(path):
    with open(path, "rb") as f:
        header = f.read(24)
    assert header[:8] == b"\x89PNG\r\n\x1a\n" and header[12:16] == b"IHDR"
    return struct.unpack(">II", header[16:24])


def test_full_page_picture(core, tab, page_server, tmp_path, monkeypatch, caplog):
    error_dir = tmp_path / "not" / "there"
    monkeypatch.setattr(core, "ERROR_DIR", str(error_dir))
    tab.goto(page_server.add("/long", "<body style='margin:0'><div style='height:3000px'>tall</div></body>"))
    viewport_height = tab.evaluate("window.innerHeight")

    path = core.save_debug(tab, "cloud computing")
    assert re.fullmatch(re.escape(str(error_dir)) + r"/\d{8}_\d{6}_cloud computing\.png", path)
    width, height = png_size(path)
    assert height >= 3000 > viewport_height and width > 0
    assert logged(caplog) == []

    # Another picture with the same tag within the same second takes the same name.
    again = core.save_debug(page=tab, keyword="cloud computing")
    assert len(os.listdir(error_dir)) == (1 if again == path else 2)
    assert core.save_debug(tab, 42).endswith("_42.png")


def test_tab_that_cannot_be_captured(core, cdp, playwright, tmp_path, monkeypatch, caplog):
    monkeypatch.setattr(core, "ERROR_DIR", str(tmp_path))
    page = playwright.chromium.connect_over_cdp(cdp.cdp_url).contexts[0].new_page()
    page.close()
    path = core.save_debug(page, "google")
    assert path.startswith(str(tmp_path) + "/") and path.endswith("_google.png")
    assert not os.path.exists(path)
    [record] = logged(caplog)
    assert record[:2] == ("ERROR", core.tr("err_screenshot_failed"))
    assert record[2] == ("Page.screenshot: Target page, context or browser has been closed",)
    with pytest.raises(TypeError):
        core.save_debug(page)


def test_a_tag_of_any_length_gives_a_file_the_system_can_make(core, tab, page_server, tmp_path, monkeypatch):
    monkeypatch.setattr(core, "ERROR_DIR", str(tmp_path))
    tab.goto(page_server.add("/small", "<body>small</body>"))
    fits = "t" * (255 - len("20240101_120000_.png"))
    custom = core._sanitize_name("内网 服务 " * 60)  # the custom check's tag for a long target name
    for tag in (fits, fits + "u", custom):
        path = core.save_debug(tab, tag)
        name = os.path.basename(path)
        assert os.path.exists(path) and len(name.encode()) <= 255 and name.endswith(".png")
        assert re.fullmatch(r"\d{8}_\d{6}_", name[:16]) and name[16:56] == tag[:40]
        assert (name[16:] == tag + ".png") == (tag is fits)
    # The shortened part is the tag's own: the same tag, the same name after the time.
    assert os.path.basename(core.save_debug(tab, custom))[16:] == name[16:]
