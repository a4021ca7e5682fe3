"""quillo for agents: sessions with argv, cwd and env that any thread or
coroutine can use, replies with status, program profiles, and (with the `mcp`
extra) the `quillo-mcp` server.

Where to look: `launcher` (argv/cwd/env, the private launcher script),
`session` (the session's thread and queue, the blocking and coroutine faces),
`calls` (what each call writes and how it makes its reply), `call_loop`
(how a call collects and decides it is done), `probe` (what the program is
doing, from /proc), `terminal` (input and output taken, from the terminal's
two ends), `clipped_text` (a call's text within its bound), `reply` (the
status fields and how they are decided), `profiles` (gdb, python, pdb, sh,
bash), `manager` (named sessions, a bound on how many), `limits` (bounds of
a shared deployment), `errors`, `mcp_server` (the MCP tools), `mcp_stdio`
(its standard streams, read and written on the event loop), `mcp_http` (the
tools over Streamable HTTP: token, clients, transport).
"""

from .launcher import LaunchError, Launcher
from .limits import Limits
from .long_lines import LineTooLong
from .manager import SessionManager, TooManySessions, UnknownSession
from .profiles import PROFILES, Profile, get_profile
from .call_loop import Progress
from .errors import ProgramExited, SessionBusy, SessionClosed, SessionError
from .probe import Observation, State
from .reply import Reply, Status
from .session import Session

__all__ = [
    "LaunchError",
    "Observation",
    "Launcher",
    "Limits",
    "LineTooLong",
    "PROFILES",
    "ProgramExited",
    "Profile",
    "Progress",
    "Reply",
    "Session",
    "SessionBusy",
    "SessionClosed",
    "SessionError",
    "SessionManager",
    "State",
    "Status",
    "TooManySessions",
    "UnknownSession",
    "get_profile",
]
