"""The thread side of a webhook post, which must be over by its deadline
however slowly the robot answers.

The engine's caller makes a post's record with `new_post`, starts `run` on a
daemon thread of its own and waits for the record's `ended` in slices. Each
outcome, whatever its kind, goes into the record: the reply as soon as its
header is in, the error if one came (an ordinary error, an interrupt or an
exit request raised inside the client), then "done", and `ended` is set
last. The caller waits on `ended` and looks at "done", a look that runs no
Python code and so cannot be overtaken by the post it looks at.

A post the caller gives up (at its deadline, or at Ctrl+C) gets a SystemExit
raised in its thread, and the reply's socket shut where the reply is in. That
SystemExit must land inside `run`'s own handlers, never in what threading does
around it, where a host's threading.excepthook would hear of it: the thread
therefore writes its ident into the record only once it stands inside them,
and the caller raises the SystemExit only in a thread whose ident it finds
there. A post given up before that is marked "given_up" and never begins.

Nothing here calls into C++: a daemon thread that wakes while the interpreter
ends is unwound where it stands, and only Python frames may stand there.
"""
import inspect
from threading import Event, get_ident

import requests

# The pieces a streamed reply's body is read in.
PIECE = 64 * 1024


def new_post():
    """The record a post and its caller share."""
    return {"ended": Event()}


def run(post, send, address, body, timeout, limit, too_large):
    """Posts body to address with send (the module's requests.post) and puts
    the outcome in post."""
    try:
        try:
            post["thread"] = get_ident()  # from here on a give-up lands in these handlers
            if "given_up" in post:
                return
            reply = send(address, json=body, timeout=timeout, **streamed(send))
            post["reply"] = reply
            read_within(reply, limit, too_large)
        except BaseException as error:  # each kind is the caller's to judge
            post["error"] = error
        finally:
            post["done"] = True
            post["ended"].set()
    except SystemExit:
        pass  # given up as the post ended: the thread ends quietly


def streamed(send):
    """The keyword that has requests hand over the reply once its header is
    in, so that its body can be read within the bound; none for a stand-in
    client that takes no such keyword (a post with a JSON body and a
    time-out is all a client need make)."""
    try:
        parameters = inspect.signature(send).parameters.values()
    except (TypeError, ValueError):  # no signature to read: not requests' own
        return {}
    takes = any(p.name == "stream" or p.kind is p.VAR_KEYWORD for p in parameters)
    return {"stream": True} if takes else {}


def read_within(reply, limit, too_large):
    """Reads a streamed reply's body up to limit bytes, raising
    RuntimeError(too_large) past it, and keeps it where requests keeps a body
    it has read, so that the reply's json() decodes it as requests decodes
    any reply. A robot replies with a small JSON object, and an address that
    points at a download must not fill the memory.

    A reply whose body is read already (requests reads it when not asked to
    stream), or that is not requests' own (a stand-in client's, which need
    give no more than its status and json()), is left as it is."""
    if not isinstance(reply, requests.Response) or getattr(reply, "_content", None) is not False:
        return
    pieces, size = [], 0
    for piece in reply.iter_content(PIECE):
        size += len(piece)
        if size > limit:
            raise RuntimeError(too_large)
        pieces.append(piece)
    reply._content = b"".join(pieces)
