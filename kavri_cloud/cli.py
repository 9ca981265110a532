"""The ``kavri-cloud`` command.

Subcommands register themselves through :data:`SUBCOMMANDS`: each entry is a
function that adds one subparser and sets its ``handler``, a function taking
the parsed arguments and returning the exit status. A new subcommand is one
``_add_<name>`` function appended to that list.

    kavri-cloud local [--host H] [--port P] [--data DIR]     serve the local Kavri Cloud
    kavri-cloud local token [--agent NAME] [--admin] ...     print a Quick Connect token
    kavri-cloud approvals list [--status S]                  list approval requests
    kavri-cloud approvals approve ID [--approver NAME]       approve as a local approver
    kavri-cloud approvals deny ID --reason R [--approver N]  deny as a local approver
    kavri-cloud doctor [--token T] [--api-key K] [--claim]   check a Kavri Cloud set-up
    kavri-cloud connect [--token T]                          apply a token, claim its agent

The approvals commands and ``local token`` talk to a running service. They find
it through ``--url`` and ``--api-key``, else ``KAVRI_CONTROL_PLANE_URL`` and
``KAVRI_API_KEY``, else the service file and database that ``kavri-cloud local``
keeps in its data folder.

Keys: ``local token`` hands out the runtime key (what an agent needs: create and
read approval requests, claim its agent, send receipts) unless ``--admin`` asks
for the admin key, and says on stderr which one it minted. The approvals
commands use the admin key from the data folder, since deciding needs it.

Every failure is one line on stderr, never a traceback: exit status 1 for a
failed operation, 2 for a usage error.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import signal
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable, Iterator
from contextlib import contextmanager
from urllib.parse import quote

__all__ = ["SUBCOMMANDS", "build_parser", "default_data_dir", "main"]

_SERVICE_FILE = "service.json"
_LOCK_FILE = "service.lock"
_REQUEST_ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.:-]{0,127}")

Handler = Callable[[argparse.Namespace], int]
Registrar = Callable[["argparse._SubParsersAction[argparse.ArgumentParser]"], None]


class CommandError(Exception):
    """A failure to report in one line, with exit status 1."""


def default_data_dir() -> Path:
    """Where the local service keeps its data unless told otherwise."""
    explicit = os.environ.get("KAVRI_LOCAL_DATA")
    if explicit:
        return Path(explicit)
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(Path.home(), ".local", "share")
    return Path(base) / "kavri-cloud" / "local"


# ---------------------------------------------------------------- local


def _add_local(subparsers: Any) -> None:
    local = subparsers.add_parser(
        "local",
        help="run the local Kavri Cloud on this machine",
        description="Serve the local Kavri Cloud until Ctrl+C. Its data survives restarts.",
    )
    local.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    local.add_argument("--port", type=_port, default=8080, help="port to listen on (default 8080; 0 picks one)")
    local.add_argument(
        "--data", type=Path, default=None,
        help="data folder (default: $KAVRI_LOCAL_DATA, else ~/.local/share/kavri-cloud/local)",
    )
    local.add_argument(
        "--signed-approval-encoding",
        choices=("base64", "hex"),
        default=None,
        help="how signed approvals are written (kept from the last start by default)",
    )
    local.set_defaults(handler=_run_local)
    actions = local.add_subparsers(dest="local_command", metavar="{token}")
    token = actions.add_parser(
        "token",
        help="print a Quick Connect token for the running local service",
        description="Print a Quick Connect token for the running local service.",
    )
    token.add_argument("--agent", default=None, help="bind a new pending agent of this name")
    token.add_argument(
        "--admin", action="store_true",
        help="carry the admin key, which may approve and deny (default: the runtime key)",
    )
    # Kept so older scripts keep working: the runtime key is the default now.
    token.add_argument("--runtime", action="store_true", help=argparse.SUPPRESS)
    token.add_argument("--url", default=None, help="service URL (default: from the data folder)")
    token.add_argument("--data", type=Path, default=None, dest="token_data", help="data folder")
    token.set_defaults(handler=_run_local_token)


def _port(text: str) -> int:
    try:
        port = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"port must be between 0 and 65535, got {port}")
    return port


def _require_local_extra() -> None:
    missing = []
    for module in ("starlette", "uvicorn"):
        try:
            __import__(module)
        except ImportError:
            missing.append(module)
    if missing:
        raise CommandError(
            f"the local Kavri Cloud needs {' and '.join(missing)}: "
            "install the 'local' extra (pip install 'kavri-cloud[local]')"
        )


@contextmanager
def _data_folder_lock(folder: Path) -> Iterator[None]:
    """Hold the data folder for this process; refuse when another service holds it."""
    from kavri_cloud.local.store import private_file, private_folder

    private_folder(folder)
    lock_path = folder / _LOCK_FILE
    private_file(lock_path)
    try:
        import fcntl
    except ImportError:  # no advisory locks on this platform: go without
        yield
        return
    handle = open(lock_path, "r+")
    try:
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            running = _read_service_file(folder)
            where = f" at {running.get('url')} (pid {running.get('pid')})" if running else ""
            raise CommandError(
                f"the data folder {folder} is in use by another local Kavri Cloud{where}; "
                "stop it first or pass --data DIR"
            ) from None
        yield
    finally:
        handle.close()


def _read_service_file(folder: Path) -> dict[str, Any]:
    try:
        found = json.loads((folder / _SERVICE_FILE).read_text())
    except (OSError, ValueError):
        return {}
    return found if isinstance(found, dict) else {}


def _write_private(path: Path, text: str) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as handle:
        os.fchmod(handle.fileno(), 0o600)
        handle.write(text)


def _run_local(args: argparse.Namespace) -> int:
    started = time.monotonic()
    _require_local_extra()
    from kavri_cloud.local import LocalCloud

    data_dir = args.data or default_data_dir()
    with _data_folder_lock(Path(data_dir)):
        cloud = LocalCloud(
            data_dir,
            host=args.host,
            port=args.port,
            signed_approval_encoding=args.signed_approval_encoding,
            log_level="warning",
        )
        try:
            cloud.start()
        except OSError as exc:
            raise CommandError(f"cannot listen on {args.host}:{args.port}: {exc.strerror or exc}") from exc
        service_file = Path(data_dir) / _SERVICE_FILE
        try:
            _write_private(service_file, json.dumps({"url": cloud.url, "pid": os.getpid()}) + "\n")
            elapsed = time.monotonic() - started
            _print_banner(cloud, data_dir, elapsed)
            _wait_for_signal()
        finally:
            cloud.stop()
            if _read_service_file(Path(data_dir)).get("pid") == os.getpid():
                try:
                    service_file.unlink()
                except OSError:
                    pass
    print("local Kavri Cloud stopped", flush=True)
    return 0


def _print_banner(cloud: Any, data_dir: Path, elapsed: float) -> None:
    from kavri_cloud.local.dashboard import login_url

    data_flag = "" if data_dir == default_data_dir() else f" --data {data_dir}"
    lines = [
        f"Local Kavri Cloud listening on {cloud.url} (started in {elapsed:.2f} s)",
        f"  data folder   {data_dir}",
        f"  admin key     {cloud.admin_key}",
        "                (approves and denies: keep it for people, never give it to an agent)",
        f"  runtime key   {cloud.runtime_key}",
        "                (what agents hold: creates and reads approval requests)",
        f"  dashboard     {login_url(cloud.url, cloud.admin_key)}",
        "                (a one-time login link, valid 1 h; later, log in with the admin key)",
        "  approvers",
    ]
    lines += [f"    {a.name:<12}{a.public_key}" for a in cloud.approvers]
    lines += [
        "",
        "Use it:",
        f"  export KAVRI_CONTROL_PLANE_URL={cloud.url}",
        f"  export KAVRI_API_KEY={cloud.runtime_key}",
        f"  kavri-cloud local token{data_flag} [--agent NAME]   # a Quick Connect token (runtime key)",
        f"  kavri-cloud approvals list --url {cloud.url} --api-key {cloud.admin_key}",
        "",
        "Press Ctrl+C to stop.",
    ]
    print("\n".join(lines), flush=True)


def _wait_for_signal() -> None:
    stop = threading.Event()

    def on_signal(signum: int, frame: Any) -> None:
        stop.set()

    previous = {sig: signal.signal(sig, on_signal) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        while not stop.wait(0.5):
            pass
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)


def _service_location(url: str | None, data_dir: Path | None) -> tuple[str, Path]:
    folder = data_dir or default_data_dir()
    if url:
        return url.rstrip("/"), folder
    service_file = folder / _SERVICE_FILE
    try:
        found = json.loads(service_file.read_text()).get("url")
    except (OSError, ValueError):
        found = None
    if isinstance(found, str) and found:
        return found, folder
    from kavri_cloud.hosted import LOCAL_DEV_API_URL

    return LOCAL_DEV_API_URL, folder


def _stored_key(folder: Path, name: str) -> str | None:
    path = folder / "kavri-cloud.sqlite3"
    if not path.exists():
        return None
    import sqlite3

    # Read-only: the running service owns every write.
    try:
        conn = sqlite3.connect(f"file:{quote(str(path))}?mode=ro", uri=True, timeout=5.0)
    except sqlite3.Error as exc:
        raise CommandError(f"cannot open {path}: {exc}") from None
    try:
        row = conn.execute("SELECT value FROM settings WHERE key = ?", (name,)).fetchone()
    except sqlite3.Error:
        row = None
    finally:
        conn.close()
    return row[0] if row and isinstance(row[0], str) else None


def _run_local_token(args: argparse.Namespace) -> int:
    from kavri_cloud.local.server import make_connect_token

    url, folder = _service_location(args.url, args.token_data or args.data)
    key_name = "admin_key" if args.admin else "runtime_key"
    key = _stored_key(folder, key_name)
    admin_key = _stored_key(folder, "admin_key")
    if key is None or admin_key is None:
        raise CommandError(
            f"no local Kavri Cloud data in {folder}; start one with `kavri-cloud local` "
            "or pass --data DIR"
        )
    agent_id = registration_token = None
    if args.agent is not None:
        agent = _request(url, admin_key, "POST", "_local/agents", {"name": args.agent})
        agent_id, registration_token = agent.get("agent_id"), agent.get("registration_token")
        if not (isinstance(agent_id, str) and isinstance(registration_token, str)):
            raise CommandError(f"the service at {url} did not create the agent")
    print(make_connect_token(url, key, agent_id=agent_id, registration_token=registration_token))
    which = (
        "the ADMIN key (it may approve and deny; do not hand it to an agent)"
        if args.admin
        else "the runtime key (create and read approval requests; --admin for the admin key)"
    )
    print(f"kavri-cloud: minted a Quick Connect token carrying {which}", file=sys.stderr)
    return 0


# ---------------------------------------------------------------- approvals


def _add_approvals(subparsers: Any) -> None:
    approvals = subparsers.add_parser(
        "approvals",
        help="list, approve and deny approval requests",
        description="Act on the approval requests of a running Kavri Cloud service.",
    )
    approvals.add_argument("--url", default=None, help="service URL (default: KAVRI_CONTROL_PLANE_URL, then the local service)")
    approvals.add_argument("--api-key", default=None, help="API key (default: KAVRI_API_KEY, then the local admin key)")
    approvals.add_argument("--data", type=Path, default=None, help="local service data folder")
    actions = approvals.add_subparsers(dest="approvals_command", metavar="{list,approve,deny}")
    actions.required = True

    listing = actions.add_parser("list", help="list approval requests (pending ones by default)")
    listing.add_argument(
        "--status", default="pending", help="pending, approved, denied, expired or all (default pending)"
    )
    listing.add_argument("--json", action="store_true", help="print the records as JSON")
    listing.set_defaults(handler=_run_approvals_list)

    approve = actions.add_parser("approve", help="approve a request as a local approver")
    approve.add_argument("request_id", metavar="ID", type=_request_id)
    approve.add_argument("--approver", default=None, help="approver name (default: the first eligible)")
    approve.set_defaults(handler=_run_approvals_approve)

    deny = actions.add_parser("deny", help="deny a request as a local approver")
    deny.add_argument("request_id", metavar="ID", type=_request_id)
    deny.add_argument("--reason", required=True, help="why the request is denied")
    deny.add_argument("--approver", default=None, help="approver name (default: the first eligible)")
    deny.set_defaults(handler=_run_approvals_deny)


def _approvals_target(args: argparse.Namespace) -> tuple[str, str]:
    url = args.url or os.environ.get("KAVRI_CONTROL_PLANE_URL") or None
    url, folder = _service_location(url, args.data)
    key = args.api_key or os.environ.get("KAVRI_API_KEY") or _stored_key(folder, "admin_key")
    if not key:
        raise CommandError("no API key: pass --api-key, set KAVRI_API_KEY, or start `kavri-cloud local`")
    return url, key


def _request(url: str, key: str, method: str, path: str, body: Any = None, params: Any = None) -> Any:
    from kavri_cloud.client import KavriCloudClient

    with KavriCloudClient(key, base_url=url, timeout=10.0) as client:
        return client._handle_response(client._send(method, path, json=body, params=params))


def _run_approvals_list(args: argparse.Namespace) -> int:
    from kavri_cloud.client import KavriCloudClient

    url, key = _approvals_target(args)
    status = None if args.status == "all" else args.status
    records: list[Any] = []
    with KavriCloudClient(key, base_url=url, timeout=10.0) as client:
        cursor = None
        while True:  # the service answers in pages of summaries
            params: dict[str, Any] = {"limit": 500}
            if status is not None:
                params["status"] = status
            if cursor:
                params["cursor"] = cursor
            page = client._handle_response(client._send("GET", "approvals/requests", params=params))
            items = page.get("items") if isinstance(page, dict) else None
            if not isinstance(items, list):
                raise CommandError(f"the service at {url} answered the list with something else")
            records += items
            cursor = page.get("next_cursor")
            if not isinstance(cursor, str) or not cursor:
                break
    if args.json:
        print(json.dumps(records, indent=2))
        return 0
    if not records:
        print(f"no {args.status} approval requests" if status else "no approval requests")
        return 0
    for record in records:
        if not isinstance(record, dict):
            continue
        approvals = record.get("approvals")
        if not isinstance(approvals, int):
            raw = record.get("responses")
            responses: list[Any] = raw if isinstance(raw, list) else []
            approvals = len([r for r in responses if isinstance(r, dict) and r.get("decision") == "approved"])
        print(
            f"{record.get('id')}  {record.get('status')!s:<8}  {record.get('tool')!s:<24}"
            f"  {approvals}/{record.get('threshold')} approvals  created {record.get('created_at')}"
        )
    return 0


def _print_outcome(record: Any) -> None:
    if not isinstance(record, dict) or not isinstance(record.get("id"), str):
        raise CommandError("the service answered with something that is not an approval record")
    line = f"{record['id']}  {record.get('status')}"
    if record.get("denied_reason"):
        line += f"  ({record['denied_reason']})"
    print(line)


def _request_id(text: str) -> str:
    # An id goes into a URL path: one that could climb out of it ("../") or
    # add a query would send the admin key's request somewhere else.
    if not _REQUEST_ID.fullmatch(text):
        raise argparse.ArgumentTypeError(f"not an approval request id: {text!r}")
    return text


def _decision_path(request_id: str, decision: str) -> str:
    return f"approvals/requests/{quote(request_id, safe='')}/{decision}"


def _run_approvals_approve(args: argparse.Namespace) -> int:
    url, key = _approvals_target(args)
    body = {} if args.approver is None else {"approver": args.approver}
    _print_outcome(_request(url, key, "POST", _decision_path(args.request_id, "approve"), body))
    return 0


def _run_approvals_deny(args: argparse.Namespace) -> int:
    url, key = _approvals_target(args)
    body: dict[str, Any] = {"reason": args.reason}
    if args.approver is not None:
        body["approver"] = args.approver
    _print_outcome(_request(url, key, "POST", _decision_path(args.request_id, "deny"), body))
    return 0


# ---------------------------------------------------------------- entry point

#: Registration functions of the subcommands, in the order ``--help`` lists them.
from kavri_cloud.cli_connect import add_connect, add_doctor  # noqa: E402  (imports nothing native)

SUBCOMMANDS: list[Registrar] = [_add_local, _add_approvals, add_doctor, add_connect]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kavri-cloud",
        description="Kavri Cloud tools: the local service and approval requests.",
    )
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
    subparsers.required = True
    for register in SUBCOMMANDS:
        register(subparsers)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Run the ``kavri-cloud`` command; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    handler: Handler = args.handler
    from kavri_cloud.exceptions import KavriCloudError

    try:
        return handler(args)
    except (CommandError, KavriCloudError) as exc:
        print(f"kavri-cloud: error: {_one_line(str(exc))}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except ImportError as exc:
        # A missing optional component (an extra, the SDK) is one line naming the
        # command that installs it.
        from kavri_cloud._missing import hint_for

        hint = hint_for(exc) or f"{type(exc).__name__}: {_one_line(str(exc))}"
        print(f"kavri-cloud: error: {hint}", file=sys.stderr)
        return 1
    except Exception as exc:  # a failure is one line, never a traceback
        print(f"kavri-cloud: error: {type(exc).__name__}: {_one_line(str(exc))}", file=sys.stderr)
        return 1


def _one_line(text: str) -> str:
    return " ".join(text.split()) or "(no message)"
