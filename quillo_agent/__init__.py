"""quillo for agents: sessions with argv, cwd and env that any thread or
coroutine can use, replies with status, program profiles, and (with the `mcp`
extra) the `quillo-mcp` server.

Where to look: `launcher` (argv/cwd/env, the private launcher script),
`session` (the thread-owned session and its blocking and async calls),
`reply` (the status fields and how they are decided), `profiles` (gdb,
python, pdb, sh, bash), `manager` (named sessions, a bound on how many),
`limits` (bounds of a shared deployment), `mcp_server` (the MCP tools),
`mcp_http` (the tools over Streamable HTTP: token, clients, transport).
"""

from .launcher import LaunchError, Launcher
from .limits import Limits
from .manager import SessionManager, TooManySessions, UnknownSession
from .profiles import PROFILES, Profile, get_profile
from .reply import Reply
from .session import ProgramExited, Session, SessionBusy, SessionClosed, SessionError

__all__ = [
    "LaunchError",
    "Launcher",
    "Limits",
    "PROFILES",
    "ProgramExited",
    "Profile",
    "Reply",
    "Session",
    "SessionBusy",
    "SessionClosed",
    "SessionError",
    "SessionManager",
    "TooManySessions",
    "UnknownSession",
    "get_profile",
]
