"""The saved form of a :class:`ComposedAggregator`: its JSON text, and files written so that a
crash never leaves half of one."""

from __future__ import annotations

import json
import os
import secrets
import stat
from typing import Any, Callable, Tuple, TypeVar, Union

T = TypeVar("T")
_FIELDS = ("format", "version", "defense", "rounds", "reputation")


def dumps(fmt: str, version: int, defense: str, rounds: int, reputation_json: str) -> str:
    """The JSON text, members in a fixed order; the scores are the store's own text."""
    return ("{" + f'"format":{json.dumps(fmt)},"version":{version},'
            f'"defense":{json.dumps(defense, ensure_ascii=False)},"rounds":{rounds},'
            f'"reputation":{reputation_json}' + "}")


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a JSON number")


def loads(text: str, fmt: str, version: int) -> Tuple[str, int, str]:
    """(defense text, rounds, the scores as JSON text for ReputationManager.from_json) of a
    text that dumps wrote; ValueError saying what is wrong otherwise."""
    if not isinstance(text, str):
        raise TypeError(f"a saved {fmt} is a str, not {type(text).__name__}")
    where = f"saved {fmt}"
    try:
        data = json.loads(text, parse_constant=_reject_constant)
    except json.JSONDecodeError as e:
        # A string left open reports where it began; anything else stops where the text does.
        cut = e.pos >= len(text.rstrip()) or e.msg.startswith("Unterminated")
        ends = "; the text ends early: it is truncated" if cut else ""
        raise ValueError(f"{where}: not valid JSON: {e.msg} (line {e.lineno}, column "
                         f"{e.colno}){ends}") from None
    except ValueError as e:
        raise ValueError(f"{where}: not valid JSON: {e}") from None
    if not isinstance(data, dict):
        raise ValueError(f"{where}: expected a JSON object, found {type(data).__name__}")
    if data.get("format") != fmt:
        raise ValueError(f"{where}: \"format\" is {data.get('format')!r}, expected {fmt!r}")
    found = data.get("version")
    if type(found) is not int:
        raise ValueError(f"{where}: \"version\" must be an integer, found {found!r}")
    if found != version:
        newer = " (written by a newer fenro)" if found > version else ""
        raise ValueError(f"{where}: version {found}{newer}; this fenro reads version {version}")
    for name in data:
        if name not in _FIELDS:
            raise ValueError(f"{where}: unknown member {name!r}")
    for name in _FIELDS:
        if name not in data:
            raise ValueError(f"{where}: missing member {name!r}")
    defense, rounds, scores = data["defense"], data["rounds"], data["reputation"]
    if not isinstance(defense, str):
        raise ValueError(f"{where}: \"defense\" must be a string, found {defense!r}")
    if type(rounds) is not int or not 0 <= rounds < 1 << 64:
        raise ValueError(f"{where}: \"rounds\" must be an integer >= 0, found {rounds!r}")
    if not isinstance(scores, dict):
        raise ValueError(f"{where}: \"reputation\" must be an object of scores")
    # The numbers were read as float64; each is the shortest text of a float32 (or a hand-
    # written one), and the store rounds it to the same float32 it would have read.
    return defense, rounds, json.dumps(scores, ensure_ascii=False)


def write_atomically(path: Union[str, "os.PathLike[str]"], text: str) -> None:
    """Writes `text` (UTF-8) to `path` so that `path` always holds its old content or the new
    one in full: a new file in the same directory (created with the umask's permissions, or
    the old file's mode), written, flushed and fsynced, renamed over `path`, then the
    directory fsynced so that the rename itself survives a crash. On failure the temporary
    file is removed and the OSError raised."""
    target = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(target))
    data = text.encode("utf-8")
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        mode = None
    while True:
        temp = os.path.join(directory,
                            f".{os.path.basename(target)}.{secrets.token_hex(6)}.tmp")
        try:
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0),
                         0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(fd, "wb") as f:
            if mode is not None:
                os.chmod(temp, mode)
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temp, target)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise
    _sync_directory(directory)


def _sync_directory(directory: str) -> None:
    if os.name != "posix":  # a directory cannot be opened for fsync elsewhere
        return
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def read(path: Union[str, "os.PathLike[str]"], parse: Callable[[str], T]) -> T:
    """parse(the file's text); a ValueError names the file."""
    target = os.fspath(path)
    with open(target, "rb") as f:
        raw = f.read()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ValueError(f"{target}: not UTF-8 text (byte {e.start})") from None
    try:
        return parse(text)
    except ValueError as e:
        raise ValueError(f"{target}: {e}") from None

