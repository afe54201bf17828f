"""The connection configuration built from the context dictionary on every call."""

import collections.abc

import pytest
import tavrolix_open_api as tv
from wire import config_of, single

OP = 14  # get_investor_derivatives_account_info


def call(scripted, ctx):
    scripted.queue(OP, single(88, None, 72, success=0, status=400, message=b"no"))
    return tv.get_investor_derivatives_account_info(ctx, "D-1")


def test_image_from_login(scripted, ctx):
    call(scripted, ctx)
    cfg = config_of(scripted.last_call(OP))
    assert cfg["channel_id"] == b"CH-1"
    assert cfg["daemon_type"] == b"STAND_ALONE"
    assert cfg["enable_queue"] == 1
    assert cfg["max_torelation"] == 0
    assert cfg["reserved0"] == cfg["reserved1"] == 0


def test_changed_settings_reach_the_library(scripted, ctx):
    ctx["configuration"].update(max_torelation=5, enable_queue=False, daemon_type="CLUSTER")
    ctx["channel_id"] = b"raw\xffchannel"
    call(scripted, ctx)
    cfg = config_of(scripted.last_call(OP))
    assert (cfg["max_torelation"], cfg["enable_queue"], cfg["daemon_type"]) == (5, 0, b"CLUSTER")
    assert cfg["channel_id"] == b"raw\xffchannel"


@pytest.mark.parametrize("value,flag", [(1, 1), (None, 0), (0.0, 0), (True, 1)])
def test_enable_queue_values(scripted, ctx, value, flag):
    ctx["configuration"]["enable_queue"] = value
    call(scripted, ctx)
    assert config_of(scripted.last_call(OP))["enable_queue"] == flag


@pytest.mark.parametrize(
    "key,value",
    [
        ("max_torelation", 5.0),
        ("max_torelation", 2**31),
        ("rate_limit", "0"),
        ("rate_limit", -(2**31) - 1),
        ("enable_queue", "yes"),
        ("enable_queue", []),
        ("daemon_type", None),
        ("daemon_type", 7),
    ],
)
def test_wrong_types_raise_the_cast_error_before_the_call(scripted, ctx, key, value):
    ctx["configuration"][key] = value
    before = scripted.call_count(OP)
    with pytest.raises(RuntimeError, match="Unable to cast"):
        call(scripted, ctx)
    assert scripted.call_count(OP) == before


def test_null_channel_raises_the_cast_error(scripted, ctx):
    ctx["channel_id"] = None
    with pytest.raises(RuntimeError, match="Unable to cast"):
        call(scripted, ctx)


@pytest.mark.parametrize(
    "where,key",
    [
        ("configuration", "rate_limit"),
        ("configuration", "enable_queue"),
        ("configuration", "daemon_type"),
        ("outer", "channel_id"),
        ("outer", "configuration"),
    ],
)
def test_missing_keys_raise_key_error_before_the_call(scripted, ctx, where, key):
    del (ctx["configuration"] if where == "configuration" else ctx)[key]
    before = scripted.call_count(OP)
    with pytest.raises(KeyError) as e:
        call(scripted, ctx)
    assert e.value.args == (key,)
    assert scripted.call_count(OP) == before


def test_configuration_may_be_any_mapping(scripted, ctx):
    class Settings(collections.abc.Mapping):
        def __init__(self, d):
            self.d = d

        def __getitem__(self, k):
            return self.d[k]

        def __iter__(self):
            return iter(self.d)

        def __len__(self):
            return len(self.d)

    ctx["configuration"] = Settings(dict(ctx["configuration"], max_torelation=3))
    call(scripted, ctx)
    assert config_of(scripted.last_call(OP))["max_torelation"] == 3


def test_configuration_without_item_access_raises_type_error(scripted, ctx):
    ctx["configuration"] = 42
    with pytest.raises(TypeError):
        call(scripted, ctx)


def test_context_dict_subclass_is_accepted(scripted, ctx):
    class Context(dict):
        pass

    assert call(scripted, Context(ctx))["success"] is False
