"""Our library's scripted mode refuses images it cannot serve safely: every
pointer it writes lands inside a blob it owns, or is null."""

import pytest
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from wire import login_image
from wire_realtime import event


def channel_at(target, addend):
    return login_image().pointer(16, target, addend)


def test_pointers_reach_at_most_the_spare_terminator(scripted):
    text = sbx.Layout(4)
    text.buf[:] = b"abcd"  # no terminator of its own
    scripted.queue(13, channel_at(text, 1))
    assert tv.login("a", "b", "c", "d", True)["channel_id"] == "bcd"
    scripted.queue(13, channel_at(text, 4))
    assert tv.login("a", "b", "c", "d", True)["channel_id"] == ""
    for addend in (5, 4096, -1, -(1 << 40)):
        with pytest.raises(ValueError, match="bad relocation"):
            scripted.queue(13, channel_at(text, addend))


def test_malformed_images_are_refused(scripted):
    with pytest.raises(ValueError, match="wrong size"):
        scripted.queue(13, sbx.Layout(71))
    with pytest.raises(ValueError, match="bad relocation"):
        scripted.queue(13, login_image().pointer(68, sbx.Layout(8)))  # the pointer would overrun the image
    with pytest.raises(ValueError, match="no operation"):
        scripted.queue(36, sbx.Layout(24))
    # Nothing refused was queued: the next login gets the standing default.
    scripted.queue(13, login_image(b"CH-OK"))
    assert tv.login("a", "b", "c", "d", True)["channel_id"] == "CH-OK"


def test_events_are_held_to_the_same_rules(scripted):
    text = sbx.Layout(2)
    bad = [
        event(b"k", "p").pointer(40, text, 3),  # past the payload's blob
        sbx.Layout(40),  # shorter than an event record
        event(sbx.HANDED_KEY, "p"),
    ]  # a handed key outside a subscription
    for image in bad:
        with pytest.raises(ValueError, match="malformed event image"):
            sbx.post(1, image)
