"""Quick Connect token decoding, endpoint normalisation and environment export."""

from __future__ import annotations

import base64
import binascii
import json
import os
from urllib.parse import urljoin, urlsplit

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

from kavri_cloud import connect
from kavri_cloud.exceptions import KavriCloudError
from kavri_cloud.hosted import LOCAL_DEV_API_URL
from kavri_cloud.models import ConnectConfig

ENV = ("KAVRI_API_URL", "KAVRI_CONTROL_PLANE_URL", "KAVRI_API_KEY", "KAVRI_AGENT_ID", "KAVRI_CONNECT_TOKEN")


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    for name in ENV:
        monkeypatch.delenv(name, raising=False)


def b64(raw: bytes) -> str:
    return base64.urlsafe_b64encode(raw).decode("ascii")


def token_of(document, *, pad: bool = False) -> str:
    raw = document if isinstance(document, bytes) else json.dumps(document).encode()
    body = b64(raw)
    return "kavri_ct_" + (body if pad else body.rstrip("="))


def raises_cloud(fn, *args) -> KavriCloudError:
    with pytest.raises(KavriCloudError) as info:
        fn(*args)
    return info.value


GOOD = {"endpoint": "https://api.example.com", "api_key": "tc_key"}


# ---------------------------------------------------------------- token format


@pytest.mark.parametrize("api_key", ["k", "kk", "kkk"])  # three body lengths mod 4
def test_padding_may_be_left_off_or_kept(api_key):
    doc = {"endpoint": "https://h", "api_key": api_key}
    bare, padded = token_of(doc), token_of(doc, pad=True)
    assert connect.parse_connect_token(bare).raw == connect.parse_connect_token(padded).raw == doc


def test_decoder_is_lenient_about_alphabet_and_stray_ascii():
    body = token_of({"endpoint": "https://h", "api_key": "k??>>"})[9:]
    assert "-" in body or "_" in body
    standard = body.replace("-", "+").replace("_", "/")
    stray = ".".join(body[i : i + 5] for i in range(0, len(body), 5)) + " \n!"
    for variant in (standard, stray):
        assert connect.parse_connect_token("kavri_ct_" + variant).api_key == "k??>>"


@pytest.mark.parametrize(
    "token",
    ["", "kavri_ct", " " + token_of(GOOD), "KAVRI_CT_" + token_of(GOOD)[9:], "Kavri_ct_e30", "kavri-ct_e30", 42],
)
def test_wrong_prefix(token):
    if not isinstance(token, str):
        with pytest.raises(TypeError):
            connect.parse_connect_token(token)
        return
    exc = raises_cloud(connect.parse_connect_token, token)
    assert str(exc) == "invalid connect token: expected prefix 'kavri_ct_'"
    assert exc.__cause__ is None


@pytest.mark.parametrize(
    "body",
    ["a", "abcde", "ab=c", "é30", "e30\u2028", "a.b.c.d.e"],
)
def test_encoding_errors_carry_the_host_decoders_text_and_error(body):
    fill = "=" * (-len(body) % 4)
    with pytest.raises(ValueError) as host:
        base64.urlsafe_b64decode(body + fill)
    exc = raises_cloud(connect.parse_connect_token, "kavri_ct_" + body)
    assert str(exc) == f"invalid connect token encoding: {host.value}"
    assert type(exc.__cause__) is type(host.value)
    assert str(exc.__cause__) == str(host.value)


@given(st.text(alphabet="ABCDEFabcdef0123456789+/-_=.! \n", max_size=24))
@settings(max_examples=400, deadline=None)
def test_shared_base64_decoder_agrees_with_the_host(body):
    fill = "=" * (-len(body) % 4)
    try:
        base64.urlsafe_b64decode(body + fill)
        expected = None
    except binascii.Error as exc:
        expected = f"invalid connect token encoding: {exc}"
    try:
        connect.parse_connect_token("kavri_ct_" + body)
        got = None
    except KavriCloudError as exc:
        got = str(exc) if str(exc).startswith("invalid connect token encoding: ") else None
    assert got == expected


@pytest.mark.parametrize(
    "raw, cause",
    [
        (b"\xff\xfe{}", UnicodeDecodeError),
        (b'{"endpoint": "h", "api_key": "\xe9"}', UnicodeDecodeError),
        (b"{", json.JSONDecodeError),
        (b'{"endpoint": "h", "api_key": "k",}', json.JSONDecodeError),
        (b'{"a": "\x01"}', json.JSONDecodeError),
        (b"\xef\xbb\xbf{}", json.JSONDecodeError),
        (b"", json.JSONDecodeError),
        (b"[" * 100_000, RecursionError),
    ],
)
def test_utf8_and_json_errors_share_one_message(raw, cause):
    exc = raises_cloud(connect.parse_connect_token, token_of(raw))
    assert isinstance(exc.__cause__, cause)
    assert str(exc) == f"invalid connect token JSON: {exc.__cause__}"


@pytest.mark.parametrize("raw", [b"[1, 2]", b'"text"', b"null", b"3"])
def test_non_object_json_is_the_models_error_unwrapped(raw):
    exc = raises_cloud(connect.parse_connect_token, token_of(raw))
    assert str(exc).startswith("invalid connect token payload: expected a JSON object")
    assert exc.__cause__ is None


@pytest.mark.parametrize(
    "doc",
    [
        {"api_key": "k"},
        {"endpoint": "https://h"},
        {"endpoint": "", "api_key": "k"},
        {"endpoint": "https://h", "api_key": ""},
        {"endpoint": None, "api_key": "k"},
        {},
    ],
)
def test_endpoint_and_api_key_are_required(doc):
    exc = raises_cloud(connect.parse_connect_token, token_of(doc))
    assert str(exc) == "incomplete connect token: endpoint and api_key are required"


def test_endpoint_emptiness_is_tested_before_trimming():
    payload = connect.parse_connect_token(token_of({"endpoint": " / ", "api_key": "k"}))
    assert payload.endpoint == " / "
    assert connect._normalize_connect_endpoint("  //  ") == "https://"


@pytest.mark.parametrize(
    "text",
    [
        '{"endpoint":"h","api_key":"k","endpoint":"h2"}',
        ' \t\n{ "endpoint" : "h\\u00e9\\n\\t\\"\\\\\\/\\b\\f\\r" ,\r"api_key":"k\u00ff\u4e00"}\n',
        '{"endpoint":"\\ud83d\\ude00","api_key":"\\udc00k"}',
        '{"endpoint":"h","api_key":"k","n":1,"f":-2.5e3,"l":[1,{"x":null}],"b":true,"z":false,"nul":null}',
        '{"endpoint":"h","api_key":"k","NaN":NaN}',
        '{"endpoint":"h","api_key":"k"} ',
    ],
)
def test_documents_decode_exactly_as_the_hosts_json(text):
    payload = connect.parse_connect_token(token_of(text.encode()))
    expected = json.loads(text)
    assert payload.raw == expected
    assert list(payload.raw) == list(expected)


json_scalars = st.one_of(st.text(), st.none(), st.booleans())
flat_documents = st.dictionaries(st.text(), json_scalars, max_size=6)


@given(flat_documents, st.booleans(), st.sampled_from([(",", ":"), (", ", ": "), (" ,\n", " :\t")]))
@settings(max_examples=300, deadline=None)
def test_flat_documents_decode_as_the_host_does(doc, ascii_only, separators):
    read = ("endpoint", "api_url", "api_key", "agent_id", "registration_token")  # the model checks these
    doc = {"endpoint": "https://h", "api_key": "k", **{k: v for k, v in doc.items() if k not in read}}
    text = json.dumps(doc, ensure_ascii=ascii_only, separators=separators)
    payload = connect.parse_connect_token(token_of(text.encode("utf-8", "surrogatepass")))
    assert payload.raw == json.loads(text)


def test_config_from_token_normalises_and_drops_empty_agent_fields():
    token = token_of({"endpoint": "  https://API.example.com//  ", "api_key": "k", "agent_id": "", "registration_token": ""})
    config = connect.connect_config_from_token(token)
    assert (config.api_base_url, config.api_key, config.agent_id, config.registration_token) == (
        "https://API.example.com", "k", None, None,
    )
    assert not config.is_agent_mode
    bound = connect.connect_config_from_token(
        token_of({"endpoint": "127.0.0.1:9/", "api_key": "k", "agent_id": "agt", "registration_token": "rt"})
    )
    assert (bound.api_base_url, bound.agent_id, bound.registration_token) == ("http://127.0.0.1:9", "agt", "rt")
    assert bound.is_agent_mode


def test_config_from_token_fails_as_the_endpoint_does():
    exc = raises_cloud(connect.connect_config_from_token, token_of({"endpoint": "ftp://h", "api_key": "k"}))
    assert str(exc) == "invalid connect token endpoint: 'ftp://h'"


# ---------------------------------------------------------------- endpoint normalisation


@pytest.mark.parametrize(
    "endpoint, expected",
    [
        # absolute: kept as written, trimmed
        ("  https://api.example.com/  ", "https://api.example.com"),
        ("https://api.example.com///", "https://api.example.com"),
        ("HTTPS://API.Example.com/V1", "HTTPS://API.Example.com/V1"),
        ("http://h:8080/p?q=1#f", "http://h:8080/p?q=1#f"),
        # scheme-less
        ("127.0.0.1:8080/api", "http://127.0.0.1:8080/api"),
        ("[::1]:8080", "http://[::1]:8080"),
        ("api.example.com", "https://api.example.com"),
        ("api.example.com:443/v1/", "https://api.example.com:443/v1"),
        ("LOCALHOST:8080", "http://LOCALHOST:8080"),
        ("localhost.example.com", "https://localhost.example.com"),
        ("localhost", "http://localhost"),
        ("", "https://"),
        ("  //  ", "https://"),
        ("example.com/redirect?to=x", "https://example.com/redirect?to=x"),
        # loopback literals: strict IPv4, any spelling of ::1
        ("127.255.255.254", "http://127.255.255.254"),
        ("127.0.0.256", "https://127.0.0.256"),
        ("128.0.0.1", "https://128.0.0.1"),
        ("127.1", "https://127.1"),
        ("0127.0.0.1", "https://0127.0.0.1"),
        ("127.000.0.1", "https://127.000.0.1"),
        ("\u0661\u0662\u0667.0.0.1", "https://\u0661\u0662\u0667.0.0.1"),
        ("::1", "http://::1"),
        ("[0:0:0:0:0:0:0:1]:9", "http://[0:0:0:0:0:0:0:1]:9"),
        ("[::0001]/x", "http://[::0001]/x"),
        ("[::0.0.0.1]", "http://[::0.0.0.1]"),
        ("[::1%25lo0]:1", "http://[::1%25lo0]:1"),
        ("[::1%]", "https://[::1%]"),
        ("[::2]", "https://[::2]"),
        ("[::ffff:127.0.0.1]", "https://[::ffff:127.0.0.1]"),
        ("[1::1::1]", "https://[1::1::1]"),
        ("::1:80", "https://::1:80"),  # several colons: the whole host is a literal, and not ::1
    ],
)
def test_endpoint_forms(endpoint, expected):
    assert connect._normalize_connect_endpoint(endpoint) == expected


@pytest.mark.parametrize(
    "endpoint",
    [
        "localhost:8080@attacker.example",  # reads as loopback, names attacker.example as its host
        "127.0.0.1@attacker.example/v1",
        "user:pw@localhost:8080",
        "attacker.example@localhost",
        " [::1]@evil.example ",
    ],
)
def test_a_scheme_less_endpoint_with_user_information_is_refused(endpoint):
    # Neither http nor https: the text cannot be trusted to say where the key would go.
    exc = raises_cloud(connect._normalize_connect_endpoint, endpoint)
    assert str(exc) == f"invalid connect token endpoint: '{endpoint}'"


def test_an_at_sign_after_the_host_is_no_user_information():
    assert connect._normalize_connect_endpoint("localhost:8080/users/@me") == "http://localhost:8080/users/@me"


@pytest.mark.parametrize("endpoint", ["ftp://files.example.com", "  ws://h/  ", "http:///path", "1http://h", "://h"])
def test_unusable_absolute_endpoint_is_quoted_as_passed(endpoint):
    exc = raises_cloud(connect._normalize_connect_endpoint, endpoint)
    assert str(exc) == f"invalid connect token endpoint: '{endpoint}'"


@pytest.mark.parametrize(
    "env, endpoint, expected",
    [
        ({}, "/api/", LOCAL_DEV_API_URL + "/api"),
        ({}, "//api", LOCAL_DEV_API_URL + "/api"),
        ({}, "/a/./b/../c", LOCAL_DEV_API_URL + "/a/c"),
        ({"KAVRI_API_URL": "127.0.0.1:9000/base"}, "/api", "http://127.0.0.1:9000/api"),
        ({"KAVRI_API_URL": "https://H.example.com/x?y#z"}, "/api", "https://H.example.com/api"),
        ({"KAVRI_API_URL": "", "KAVRI_CONTROL_PLANE_URL": "https://cp.example.com/v"}, "/api", "https://cp.example.com/api"),
        ({"KAVRI_API_URL": "http://a:1", "KAVRI_CONTROL_PLANE_URL": "http://b:2"}, "/p", "http://a:1/p"),
        ({"KAVRI_CONTROL_PLANE_URL": ""}, "/p", LOCAL_DEV_API_URL + "/p"),
    ],
)
def test_relative_endpoint_resolves_against_the_local_base(monkeypatch, env, endpoint, expected):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    assert connect._normalize_connect_endpoint(endpoint) == expected


@pytest.mark.parametrize("base", ["http://", "https:///p", "http://?q", "//", "/only/a/path", "http://[::1"])
def test_unusable_local_base(monkeypatch, base):
    monkeypatch.setenv("KAVRI_API_URL", base)
    exc = raises_cloud(connect._normalize_connect_endpoint, "/api")
    assert str(exc) == (
        f"invalid local Cloud base URL: '{base}'. Set KAVRI_API_URL or KAVRI_CONTROL_PLANE_URL to a full URL."
    )


def test_local_base_is_read_at_each_call(monkeypatch):
    monkeypatch.setenv("KAVRI_API_URL", "http://first:1")
    assert connect._normalize_connect_endpoint("/p") == "http://first:1/p"
    os.environ["KAVRI_API_URL"] = "http://second:2"
    assert connect._normalize_connect_endpoint("/p") == "http://second:2/p"


# The split agrees with urlsplit on ASCII text without white space, control
# characters or brackets (which urlsplit strips or validates), whose first
# character does not start a digit scheme (which Python 3.10's urlsplit accepts).
url_text = st.tuples(
    st.text(alphabet="abcHTPhtps09+-.", max_size=6).filter(lambda s: s[:1] not in "0123456789+-."),
    st.sampled_from(["://", ":///", "://:", "x://", "/://"]),
    st.text(alphabet="abc09+-.:/?#@%", max_size=14),
).map("".join)


@given(url_text)
@settings(max_examples=200, deadline=None)
def test_absolute_case_split_agrees_with_urlsplit(value):
    value = value.rstrip("/")
    assume("://" in value)
    parts = urlsplit(value)
    if parts.scheme in ("http", "https") and parts.netloc:
        assert connect._normalize_connect_endpoint(value) == value
    else:
        with pytest.raises(KavriCloudError):
            connect._normalize_connect_endpoint(value)


@given(url_text)
@settings(max_examples=200, deadline=None)
def test_local_base_split_agrees_with_urlsplit(value):
    os.environ["KAVRI_API_URL"] = value
    try:
        parts = urlsplit(value)
        if parts.scheme and parts.netloc:
            expected = urljoin(f"{parts.scheme}://{parts.netloc}/", "p").rstrip("/")
            assert connect._normalize_connect_endpoint("/p") == expected
        else:
            with pytest.raises(KavriCloudError, match="invalid local Cloud base URL"):
                connect._normalize_connect_endpoint("/p")
    finally:
        del os.environ["KAVRI_API_URL"]


def reference_loopback(name: str) -> bool:
    import ipaddress

    if name.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(name).is_loopback
    except ValueError:
        return False


@given(st.text(alphabet="0127.:abcdefF%l", max_size=22))
@settings(max_examples=600, deadline=None)
def test_loopback_literals_agree_with_ipaddress(name):
    assume(name.count(":") != 1)  # one colon would be cut as a port
    expected = "http://" if reference_loopback(name) else "https://"
    assert connect._normalize_connect_endpoint(name) == expected + name


# ---------------------------------------------------------------- environment export


def config(**fields) -> ConnectConfig:
    base = {"api_base_url": "https://api.example.com", "api_key": "k-new"}
    return ConnectConfig(**{**base, **fields})


@pytest.mark.parametrize(
    "before, overwrite, after",
    [
        ({}, False, {"KAVRI_API_KEY": "k-new", "KAVRI_CONTROL_PLANE_URL": "https://api.example.com"}),
        ({"KAVRI_API_KEY": "k-old"}, False, {"KAVRI_API_KEY": "k-old"}),
        ({"KAVRI_API_KEY": ""}, False, {"KAVRI_API_KEY": "k-new"}),
        ({"KAVRI_API_KEY": "k-old", "KAVRI_CONTROL_PLANE_URL": ""}, True,
         {"KAVRI_API_KEY": "k-new", "KAVRI_CONTROL_PLANE_URL": "https://api.example.com"}),
        ({"KAVRI_CONTROL_PLANE_URL": "http://kept"}, False, {"KAVRI_CONTROL_PLANE_URL": "http://kept"}),
    ],
)
def test_export_fills_unset_or_empty_and_replaces_only_on_request(monkeypatch, before, overwrite, after):
    for name, value in before.items():
        monkeypatch.setenv(name, value)
    connect.apply_connect_config(config(), overwrite)
    for name, value in after.items():
        assert os.environ[name] == value
    assert "KAVRI_AGENT_ID" not in os.environ


@pytest.mark.parametrize("agent_id", [None, ""])
def test_no_agent_id_is_written_without_one(monkeypatch, agent_id):
    monkeypatch.setenv("KAVRI_AGENT_ID", "agt_existing")
    connect.apply_connect_config(config(agent_id=agent_id), overwrite=True)
    assert os.environ["KAVRI_AGENT_ID"] == "agt_existing"


def test_agent_id_is_written_and_secrets_never_are():
    connect.apply_connect_config(config(agent_id="agt_1", registration_token="rt_secret"))
    assert os.environ["KAVRI_AGENT_ID"] == "agt_1"
    assert "rt_secret" not in os.environ.values()
    assert "KAVRI_API_URL" not in os.environ and "KAVRI_CONNECT_TOKEN" not in os.environ


def test_export_of_a_config_without_key_fails_as_the_environment_does():
    with pytest.raises(TypeError):
        connect.apply_connect_config(config(api_key=None))


@pytest.mark.parametrize(
    "call",
    [
        lambda: connect.parse_connect_token(),
        lambda: connect.parse_connect_token("a", "b"),
        lambda: connect.connect_config_from_token(tok="x"),
        lambda: connect._normalize_connect_endpoint(),
        lambda: connect.apply_connect_config(config(), False, 1),
    ],
)
def test_wrong_arguments_are_type_errors(call):
    with pytest.raises(TypeError):
        call()
