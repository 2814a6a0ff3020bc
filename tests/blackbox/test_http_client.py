"""The HTTP client and the reachability check against loopback servers started here: plain
HTTP, HTTPS under a test CA trusted only in this build's Wine prefix, and a forward proxy."""
import json
import os
import re
import socket
import ssl
import subprocess
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from conftest import exe, run, win_path

BIG = 10 * 1024 * 1024
CAP = 4194304
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PROXY_VARS = ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "no_proxy", "NO_PROXY")


def big_body():
    return (b"0123456789abcdef" * (BIG // 16))[:BIG]


class Recorder(BaseHTTPRequestHandler):
    """Answers by path; every request is recorded on the server object."""

    def log_message(self, *args):
        pass

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        tls = self.connection.version() if isinstance(self.connection, ssl.SSLSocket) else None
        self.server.requests.append({"path": self.path, "headers": list(self.headers.items()),
                                     "body": body.decode("utf-8", "replace"), "tls": tls})
        if self.server.role == "proxy":
            self.reply(200, json.dumps({"via": "proxy", "target": self.path}).encode())
        elif self.path.endswith("/echo"):
            self.reply(200, json.dumps(self.server.requests[-1]).encode())
        elif self.path.endswith("/fail500"):
            self.reply(500, b'{"error":"internal","code":500}')
        elif self.path.endswith("/empty"):
            self.reply(200, b"")
        elif self.path.endswith("/big"):
            self.reply(200, big_body())
        elif self.path.endswith("/short"):
            # Content-Length promises 1000 bytes; 19 come, then the connection closes.
            self.close_connection = True
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n\r\n" + b"x" * 19)
        elif self.path.endswith("/trickle"):
            self.trickle(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", b"x")
        elif self.path.endswith("/slow-headers"):
            self.trickle(b"HTTP/1.1 200 OK\r\nX-Slow: ", b"y")
        elif self.path.endswith("/silent"):
            self.close_connection = True
            self.rfile.read(1)  # never answers; returns when the client goes away
        else:
            self.reply(404, b'{"error":"not found"}')

    def trickle(self, head, byte, seconds=150):
        """Writes head, then one byte a second until the client goes away."""
        self.close_connection = True
        try:
            self.wfile.write(head)
            for _ in range(seconds):
                self.wfile.write(byte)
                time.sleep(1)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def reply(self, status, body):
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client stopped reading (the body cap)


def serve(role, context=None):
    server = ThreadingHTTPServer(("127.0.0.1", 0), Recorder)
    server.daemon_threads = True
    server.role = role
    server.requests = []
    if context:
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    d = tmp_path_factory.mktemp("pki")
    (d / "server.ext").write_text("basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                                  "extendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost\n")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=Guardian Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=d)
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
            "-subj", "/CN=localhost", cwd=d)
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "server.pem", "-days", "2", "-extfile", "server.ext", cwd=d)
    openssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der", cwd=d)
    return d


@pytest.fixture(scope="module")
def trusted_ca(pki):
    """The test CA in the LocalMachine Root store of this build's own Wine prefix, for the module."""
    der = win_path(pki / "ca.der")
    r = run(exe("root_store_tool.exe"), "add", der)
    assert r.returncode == 0, r.stderr
    yield
    run(exe("root_store_tool.exe"), "remove", der)


@pytest.fixture(scope="module")
def http_server():
    s = serve("origin")
    yield s
    s.shutdown()


@pytest.fixture(scope="module")
def https_server(pki, trusted_ca):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(pki / "server.pem", pki / "server.key")
    s = serve("origin", ctx)
    yield s
    s.shutdown()


@pytest.fixture
def proxy():
    s = serve("proxy")
    yield s
    s.shutdown()


def origin(server, scheme="http", host="127.0.0.1"):
    return f"{scheme}://{host}:{server.server_address[1]}"


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def env_with(proxy_server=None):
    env = {k: "" for k in PROXY_VARS}
    if proxy_server:
        env["http_proxy"] = origin(proxy_server)
    return env


def post(mode, url, body="{}", *headers, proxy_server=None):
    r = run(exe("http_post_tool.exe"), mode, url, body, *headers, env=env_with(proxy_server))
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


def our_headers(request):
    """The request's headers minus those WinHTTP adds on its own."""
    own = {"host", "user-agent", "content-length", "connection", "cache-control", "pragma"}
    return [(k, v) for k, v in request["headers"] if k.lower() not in own]


def test_error_status_is_an_answer_and_no_proxy_attempt_follows(http_server, proxy):
    before = len(http_server.requests)
    r = post("post", origin(http_server) + "/fail500", proxy_server=proxy)
    assert r == {"ok": True, "status": 500, "body": '{"error":"internal","code":500}', "complete": True, "error": ""}
    assert len(http_server.requests) == before + 1
    assert proxy.requests == []


def test_proxy_answer_replaces_a_failed_direct_attempt(proxy):
    url = f"http://127.0.0.1:{closed_port()}/v1/thing"
    r = post("post", url, proxy_server=proxy)
    assert r["ok"] is True and r["status"] == 200 and r["error"] == ""
    assert json.loads(r["body"])["via"] == "proxy"
    assert len(proxy.requests) == 1
    # Wine's WinHTTP sends the proxy the path alone; the target still shows in the Host header.
    assert proxy.requests[0]["path"] in (url, "/v1/thing")
    assert dict(proxy.requests[0]["headers"])["Host"] == url.split("/")[2]


def test_empty_body(http_server):
    assert post("post", origin(http_server) + "/empty") == {"ok": True, "status": 200, "body": "", "complete": True,
                                                            "error": ""}


def test_large_body_is_cut_after_the_chunk_that_passes_the_cap(http_server):
    r = post("direct", origin(http_server) + "/big")
    assert r["ok"] is True and r["status"] == 200 and r["error"] == "" and r["complete"] is False
    n = len(r["body"])
    assert CAP < n < CAP + 1024 * 1024, n
    assert r["body"].encode() == big_body()[:n]


def test_a_body_cut_short_is_not_complete(http_server):
    r = post("direct", origin(http_server) + "/short")
    assert r == {"ok": True, "status": 200, "body": "x" * 19, "complete": False, "error": ""}


@pytest.mark.slow
def test_every_attempt_ends_in_bounded_time(http_server):
    """Side by side: a server that accepts and never answers (the whole call, both attempts),
    a body trickled a byte a second, and a header block trickled the same way (one attempt)."""
    base = origin(http_server)

    def timed(case):
        start = time.monotonic()
        return post(*case), time.monotonic() - start

    cases = [("post", base + "/silent"), ("post", base + "/trickle"), ("direct", base + "/slow-headers")]
    with ThreadPoolExecutor(len(cases)) as pool:
        (silent, t_silent), (trickled, t_trickled), (slow, t_slow) = pool.map(timed, cases)
    assert silent["ok"] is False and silent["status"] == 0, silent
    assert silent["error"].startswith("direct: send/receive: ") and "; via proxy: send/receive: " in silent["error"]
    assert t_silent < 40, t_silent
    assert trickled["ok"] is True and trickled["status"] == 200 and trickled["complete"] is False, trickled
    assert 0 < len(trickled["body"]) < 100 and set(trickled["body"]) == {"x"}
    assert t_trickled < 75, t_trickled
    assert slow["ok"] is False and slow["error"].startswith("send/receive: "), slow
    assert t_slow < 75, t_slow


def test_header_breaking_the_block_is_refused_before_anything_is_sent(http_server):
    before = len(http_server.requests)
    r = post("post", origin(http_server) + "/echo", "{}", "X-Trace", "7\r\nX-Injected: 1")
    assert r == {"ok": False, "status": 0, "body": "", "complete": False,
                 "error": "direct: bad header; via proxy: bad header"}
    assert len(http_server.requests) == before


def test_request_line_body_and_header_order(http_server, tmp_path):
    body = '{"a":[1,2],"é":"x"}'
    (tmp_path / "body.json").write_bytes(body.encode())
    r = post("direct", origin(http_server) + "/echo", "@" + win_path(tmp_path / "body.json"),
             "apikey", "k" * 46, "Authorization", "Bearer tok", "X-Trace", "7")
    assert r["ok"] is True and r["status"] == 200
    seen = json.loads(r["body"])
    assert seen["body"] == body
    assert seen["tls"] is None
    assert our_headers(seen) == [("Content-Type", "application/json"), ("Accept", "application/json"),
                                 ("Authorization", "Bearer tok"), ("X-Trace", "7"), ("apikey", "k" * 46)]
    names = {k.lower(): v for k, v in seen["headers"]}
    assert names["user-agent"] == "OstrivalGuardian/1.0"
    assert names["content-length"] == str(len(body.encode()))


def test_no_extra_headers_gives_exactly_the_json_pair(http_server):
    r = post("direct", origin(http_server) + "/echo", "")
    seen = json.loads(r["body"])
    assert our_headers(seen) == [("Content-Type", "application/json"), ("Accept", "application/json")]
    assert seen["body"] == ""


def test_https_under_the_trusted_test_ca(https_server):
    r = post("post", origin(https_server, "https", "localhost") + "/echo", '{"x":1}')
    assert r["ok"] is True and r["status"] == 200, r
    assert json.loads(r["body"])["tls"] in ("TLSv1.2", "TLSv1.3")


def test_https_certificate_name_mismatch_is_refused(https_server):
    # The certificate names localhost only; the same server reached by address must fail.
    before = len(https_server.requests)
    r = post("direct", origin(https_server, "https", "127.0.0.1") + "/echo")
    assert r["ok"] is False and r["status"] == 0 and r["body"] == ""
    assert r["error"].startswith("send/receive: ")
    assert len(https_server.requests) == before


def test_oversized_host_and_path_are_bad_urls_in_both_attempts(http_server):
    port = http_server.server_address[1]
    before = len(http_server.requests)
    expected = "direct: bad url; via proxy: bad url"
    assert post("post", f"http://{'h' * 256}:{port}/x")["error"] == expected
    assert post("post", f"http://127.0.0.1:{port}/{'p' * 2047}")["error"] == expected
    assert post("post", "not a url")["error"] == expected
    # One character less fits: the path of 2047 characters reaches the server.
    assert post("direct", f"http://127.0.0.1:{port}/{'p' * 2046}")["status"] == 404
    assert len(http_server.requests) == before + 1


# A WinHTTP failure is said in words before its code: winhttp.dll's own, or (Wine's has no
# message table) the program's.
WINHTTP_ERROR = r"send/receive: [A-Z][^(]+ \(0x00002E[0-9A-F]{2}\)"


def test_nothing_listening_combines_both_errors():
    r = post("post", f"http://127.0.0.1:{closed_port()}/x")
    assert r["ok"] is False and r["status"] == 0 and r["body"] == ""
    assert re.fullmatch(f"direct: {WINHTTP_ERROR}; via proxy: {WINHTTP_ERROR}", r["error"]), r["error"]


def test_net_check_counts_any_status_as_reachable(https_server):
    base = origin(https_server, "https", "localhost")
    r = run(exe("net_check_tool.exe"), base, "/functions/v1/health", env=env_with())
    assert r.returncode == 0, r.stderr
    assert r.stdout == f"backend answered: HTTP 404 ({base}/functions/v1/health)\n".encode()
    probe = https_server.requests[-1]
    assert probe["body"] == "{}"
    headers = our_headers(probe)
    assert headers[:2] == [("Content-Type", "application/json"), ("Accept", "application/json")]
    assert [k for k, _ in headers] == ["Content-Type", "Accept", "apikey"]
    assert len(headers[2][1]) == 46


def test_net_check_unreachable():
    base = f"http://127.0.0.1:{closed_port()}"
    r = run(exe("net_check_tool.exe"), base, "/probe", env=env_with())
    assert r.returncode == 2
    text = r.stdout.decode()
    assert text.startswith("backend NOT reachable: direct: ")
    assert "; via proxy: " in text
    assert text.endswith(f" ({base}/probe)\n")


def test_net_check_command_with_the_built_in_origin_that_does_not_resolve():
    r = run(exe("ostrival_guardian.exe"), "--net-check", env=env_with())
    assert r.returncode == 2
    # The name does not resolve (12007), and says so.
    unresolved = "send/receive: The server name could not be resolved (0x00002EE7)"
    if run("reg", "query", r"HKCU\Software\Wine").returncode == 0:  # Wine's winhttp.dll: the program's words
        assert r.stdout.decode() == (f"backend NOT reachable: direct: {unresolved}; via proxy: {unresolved} "
                                     "(https://api.ostrival.example/functions/v1/health)\n")
    assert re.fullmatch(f"backend NOT reachable: direct: {WINHTTP_ERROR}; via proxy: {WINHTTP_ERROR} "
                        r"\(https://api\.ostrival\.example/functions/v1/health\)\n", r.stdout.decode()), r.stdout


def test_configure_refuses_an_unsafe_origin_or_probe_path(tmp_path):
    refused = [("GUARDIAN_BACKEND_ORIGIN", v) for v in (
        "http://api.example.net", "https://api.example.net/", "https://api.example.net/v1",
        "https://key@api.example.net", "https://api.example.net:0", "https://api.example.net:65536")]
    refused += [("GUARDIAN_PROBE_PATH", v) for v in ("health", "/health#top", "/a b")]
    for i, (name, value) in enumerate(refused):
        r = subprocess.run(["cmake", "-S", SOURCE, "-B", str(tmp_path / str(i)), "-G", "Ninja",
                            f"-DCMAKE_TOOLCHAIN_FILE={SOURCE}/cmake/mingw-w64-x86_64.cmake", f"-D{name}={value}"],
                           capture_output=True, text=True, timeout=120)
        assert r.returncode != 0 and f"{name} must" in r.stderr, (name, value, r.stderr[-400:])
