"""Message catalogue: every text a person reads, looked up by key.

tr(key, *args) gives the text in the current language; with arguments it is
filled in with %-formatting. init_lang(path) picks the language from the
settings file's "language" member ("en" gives English, anything else Chinese).
"""
import json

from i18n.catalog_en import MESSAGES as _EN
from i18n.catalog_zh import MESSAGES as _ZH

CATALOGUES = {"zh": _ZH, "en": _EN}
_current = "zh"


def set_lang(lang):
    """Switch to a language of CATALOGUES; an unknown one gives Chinese."""
    global _current
    _current = lang if lang in CATALOGUES else "zh"


def init_lang(path):
    """Read the language from the settings file at path; never raises."""
    lang = "zh"
    try:
        with open(path, encoding="utf-8") as f:
            settings = json.load(f)
        if isinstance(settings, dict) and settings.get("language") == "en":
            lang = "en"
    except Exception:
        pass
    set_lang(lang)


def tr(key, *args):
    """The text of key; with arguments, the text filled in. An unknown key gives itself."""
    text = CATALOGUES[_current].get(key, _ZH.get(key, key))
    return text % args if args else text
