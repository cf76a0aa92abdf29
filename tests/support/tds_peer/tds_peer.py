#!/usr/bin/python3
"""A small SQL Server stand-in for tests: speaks TDS 7.4 on 127.0.0.1 and keeps its tables in
SQLite, one file per database in the data folder.

    tds_peer.py --data DIR [--control FILE] [--log FILE] [--time-limit SECONDS]

Prints "LISTENING <port>" first and ends when standard input closes or the time limit passes.

The control file is JSON, read at start and again whenever it changes:
    {
      "users": {"sa": "secret"},          # absent: every login is accepted
      "version": "Microsoft SQL Server 2008 ...",   # the text of @@Version
      "databases": {"Radna": ["CREATE TABLE ...", ...]},  # created with these SQLite
                                          # statements when the file does not exist yet
      "fail": [{"match": "text in the batch", "times": 1, "message": "...",
                "number": 50000, "state": 1, "class": 16, "line": 1,
                "database": "Radna", "delay": 2}]
                                          # "times" absent: every time; "delay": seconds to
                                          # wait first (with no "message" the batch then runs);
                                          # "class" 10 or less: an informational message, and
                                          # the batch runs
    }

The log file gets one line per batch: database, a tab, the batch with backslash, CR and LF
written as \\\\, \\r and \\n.

T-SQL is turned into SQLite only as far as the tests need: GETDATE(), @@Version, TOP n,
N'' literals, (max) lengths, IF <condition> ... ELSE ..., SET/DECLARE (accepted, not run),
CREATE PROCEDURE/FUNCTION/TRIGGER (recorded, not run). A db.dbo. prefix names that database's
file; a database that does not exist fails as on the server. Object creation is recorded in the
sysobjects table of each database; master.dbo.sysdatabases lists the database files.

Where the client's error handling depends on it, the replies have the server's shape: PRINT
sends an informational message; USE changes the database with an ENVCHANGE; EXEC of a procedure
that was never created fails with 2812; a batch whose later statement fails sends the DONE
tokens of the statements before it, then the error and a DONE with the error flag (so the
client sees the failure only when it reads past the first result). A batch that cannot be run
otherwise answers with SQLite's message.
"""

import argparse
import datetime
import json
import os
import re
import select
import socket
import socketserver
import sqlite3
import struct
import sys
import threading
import time

# Packet types
PKT_SQL_BATCH = 0x01
PKT_RPC = 0x03
PKT_REPLY = 0x04
PKT_ATTENTION = 0x06
PKT_TRANSACTION = 0x0E
PKT_LOGIN7 = 0x10
PKT_PRELOGIN = 0x12

# Tokens
TOK_COLMETADATA = 0x81
TOK_ERROR = 0xAA
TOK_INFO = 0xAB
TOK_LOGINACK = 0xAD
TOK_ROW = 0xD1
TOK_ENVCHANGE = 0xE3
TOK_DONE = 0xFD

DONE_FINAL = 0x0000
DONE_MORE = 0x0001
DONE_ERROR = 0x0002
DONE_COUNT = 0x0010
DONE_ATTN = 0x0020

# Croatian_CI_AS: LCID 0x041A (code page 1250), case-insensitive, accent-sensitive.
COLLATION = struct.pack("<IB", 0x041A | (0x01 << 20), 0)
VARCHAR_CODEC = "cp1250"

DEFAULT_VERSION = ("Microsoft SQL Server 2008 R2 (RTM) - 10.50.1600.1 (X64)\n"
                   "\tApr  2 2010 15:48:46\n\tCopyright (c) Microsoft Corporation\n"
                   "\tStandard Edition (64-bit)")

DATETIME_RE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(\.\d{1,6})?$")


class PeerError(Exception):
    def __init__(self, message, number=50000, state=1, severity=16, line=1):
        super().__init__(message)
        self.message = message
        self.number = number
        self.state = state
        self.severity = severity
        self.line = line


def now_text():
    return datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S.%f")[:23]


# ---------------------------------------------------------------------------------------
# Shared state: control file, log, data folder
# ---------------------------------------------------------------------------------------


class Peer:
    def __init__(self, data_dir, control_path, log_path):
        self.data_dir = data_dir
        self.control_path = control_path
        self.log_path = log_path
        self.lock = threading.Lock()
        self.control = {}
        self.control_mtime = None
        self.fail_used = {}
        self.reload_control()

    def reload_control(self):
        if not self.control_path:
            return
        try:
            mtime = os.stat(self.control_path).st_mtime_ns
        except OSError:
            return
        if mtime == self.control_mtime:
            return
        with open(self.control_path, encoding="utf-8") as f:
            self.control = json.load(f)
        self.control_mtime = mtime
        for name, setup in self.control.get("databases", {}).items():
            path = self.db_path(name)
            if os.path.exists(path):
                continue
            db = sqlite3.connect(path)
            try:
                ensure_catalogue(db)
                for statement in setup:
                    db.executescript(statement)
                db.commit()
            finally:
                db.close()

    def db_path(self, name):
        return os.path.join(self.data_dir, name + ".sqlite")

    def database_names(self):
        names = {"master"}
        for f in os.listdir(self.data_dir):
            if f.endswith(".sqlite"):
                names.add(f[: -len(".sqlite")])
        return sorted(names)

    def known_database(self, name):
        """The database's name as it was created; None when there is none of that name."""
        for known in self.database_names():
            if known.lower() == name.lower():
                return known
        return None

    def check_login(self, user, password):
        users = self.control.get("users")
        if users is None:
            return True
        return user in users and users[user] == password

    def version(self):
        return self.control.get("version", DEFAULT_VERSION)

    def log_batch(self, database, text):
        if not self.log_path:
            return
        escaped = text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")
        with self.lock:
            with open(self.log_path, "a", encoding="utf-8") as f:
                f.write(database + "\t" + escaped + "\n")

    def matching_rule(self, database, text):
        with self.lock:
            self.reload_control()
            for index, rule in enumerate(self.control.get("fail", [])):
                if rule.get("match", "") not in text:
                    continue
                if "database" in rule and rule["database"].lower() != database.lower():
                    continue
                times = rule.get("times")
                used = self.fail_used.get(index, 0)
                if times is not None and used >= times:
                    continue
                self.fail_used[index] = used + 1
                return rule
        return None


def ensure_catalogue(db):
    ensure_catalogue_in(db, "main")


def ensure_catalogue_in(db, schema):
    db.execute("CREATE TABLE IF NOT EXISTS %s.sysobjects "
               "(name TEXT, xtype TEXT, crdate DATETIME)" % schema)
    db.execute("CREATE TABLE IF NOT EXISTS %s.peer_modules (name TEXT, definition TEXT)"
               % schema)


# ---------------------------------------------------------------------------------------
# T-SQL to SQLite
# ---------------------------------------------------------------------------------------


def scan(text):
    """Yields (index, char, depth, outside) for every character: outside is False inside
    string literals, bracketed names and comments."""
    i = 0
    depth = 0
    n = len(text)
    while i < n:
        c = text[i]
        if c == "'":
            j = i + 1
            while j < n:
                if text[j] == "'":
                    if j + 1 < n and text[j + 1] == "'":
                        j += 2
                        continue
                    break
                j += 1
            for k in range(i, min(j + 1, n)):
                yield k, text[k], depth, False
            i = j + 1
            continue
        if c == "[":
            j = text.find("]", i)
            j = n - 1 if j < 0 else j
            for k in range(i, j + 1):
                yield k, text[k], depth, False
            i = j + 1
            continue
        if text.startswith("--", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            for k in range(i, j):
                yield k, text[k], depth, False
            i = j
            continue
        if text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            for k in range(i, j):
                yield k, text[k], depth, False
            i = j
            continue
        if c == "(":
            depth += 1
        elif c == ")":
            depth = max(0, depth - 1)
        yield i, c, depth, True
        i += 1


def code_mask(text):
    """For each character: True when it is SQL code at any depth (not string/comment)."""
    mask = [False] * len(text)
    depth_at = [0] * len(text)
    for i, _, depth, outside in scan(text):
        mask[i] = outside
        depth_at[i] = depth
    return mask, depth_at


STATEMENT_START = re.compile(
    r"(CREATE|INSERT|UPDATE|DELETE|DROP|ALTER|IF|PRINT|EXEC|EXECUTE|SET|DECLARE|USE)\b",
    re.IGNORECASE)


def split_statements(text):
    """Splits a batch at top-level semicolons and at lines that begin a new statement."""
    mask, depth = code_mask(text)
    pieces = []
    start = 0
    i = 0
    n = len(text)
    while i < n:
        if mask[i] and depth[i] == 0:
            if text[i] == ";":
                pieces.append(text[start:i])
                start = i + 1
            elif text[i] == "\n":
                j = i + 1
                while j < n and text[j] in " \t\r":
                    j += 1
                m = STATEMENT_START.match(text, j)
                if m and text[start:i].strip() and not continues_if(text[start:i]):
                    pieces.append(text[start:i])
                    start = j
        i += 1
    pieces.append(text[start:])
    return [p.strip() for p in pieces if p.strip() and not only_comments(p)]


def continues_if(previous):
    """An IF whose statement has not come yet, or an ELSE at the end, takes the next line."""
    words = strip_comments(previous).split()
    if not words:
        return False
    if words[-1].upper() == "ELSE":
        return True
    if words[0].upper() == "IF":
        rest = strip_comments(previous).strip()[2:]
        return split_if(rest) is None
    return False


def strip_comments(text):
    mask, _ = code_mask(text)
    out = []
    for i, c in enumerate(text):
        if mask[i] or c == "'" or not is_comment_char(text, i, mask):
            out.append(c)
        else:
            out.append(" ")
    return "".join(out)


def is_comment_char(text, i, mask):
    # Characters outside code are either in strings/brackets (kept) or in comments.
    j = i
    while j >= 0 and not mask[j]:
        j -= 1
    start = j + 1
    return text.startswith("--", start) or text.startswith("/*", start)


def only_comments(text):
    return not strip_comments(text).strip()


def top_level_keyword(text, keyword):
    """Index of the first top-level occurrence of a keyword, or -1."""
    mask, depth = code_mask(text)
    pattern = re.compile(r"\b" + keyword + r"\b", re.IGNORECASE)
    for m in pattern.finditer(text):
        if mask[m.start()] and depth[m.start()] == 0:
            return m.start()
    return -1


BRANCH_START = re.compile(
    r"\b(INSERT|UPDATE|DELETE|CREATE|DROP|ALTER|PRINT|EXEC|EXECUTE|SET|SELECT|BEGIN)\b",
    re.IGNORECASE)


def split_if(rest):
    """Splits "<condition> <statement> [ELSE <statement>]" after IF; None when incomplete."""
    mask, depth = code_mask(rest)
    for m in BRANCH_START.finditer(rest):
        i = m.start()
        if not (mask[i] and depth[i] == 0):
            continue
        condition = rest[:i].strip()
        if not condition:
            continue
        tail = rest[i:]
        k = top_level_keyword(tail, "ELSE")
        if k < 0:
            return condition, tail.strip(), None
        return condition, tail[:k].strip(), tail[k + 4:].strip()
    return None


def replace_code(text, pattern, repl, flags=re.IGNORECASE):
    """re.sub applied only where the match starts in code."""
    mask, _ = code_mask(text)
    regex = re.compile(pattern, flags)

    def sub(m):
        if m.start() < len(mask) and mask[m.start()]:
            return m.expand(repl) if isinstance(repl, str) else repl(m)
        return m.group(0)

    return regex.sub(sub, text)


def translate(statement, session):
    s = statement
    s = replace_code(s, r"@@version\b", lambda m: sql_quote(session.peer.version()))
    s = replace_code(s, r"(?<![\w'])N'", "'")
    s = replace_code(s, r"(?<![\w\].])(?:(\[?\w+\]?)\.)?\[?dbo\]?\.(\[?\w+\]?)",
                     session.qualified_name)
    s = replace_code(s, r"\(\s*max\s*\)", "")
    m = re.match(r"\s*select\s+top\s+(\d+)\s+", s, re.IGNORECASE)
    if m:
        s = "SELECT " + s[m.end():].rstrip().rstrip(";") + " LIMIT " + m.group(1)
    return s


def sql_quote(text):
    return "'" + text.replace("'", "''") + "'"


CREATE_MODULE = re.compile(
    r"\s*(CREATE|ALTER)\s+(PROC|PROCEDURE|FUNCTION|TRIGGER)\s+([\[\]\w.]+)", re.IGNORECASE)
CREATE_OBJECT = re.compile(
    r"\s*CREATE\s+(TABLE|VIEW)\s+(IF\s+NOT\s+EXISTS\s+)?([\[\]\w.]+)", re.IGNORECASE)
DROP_OBJECT = re.compile(
    r"\s*DROP\s+(TABLE|VIEW|PROC|PROCEDURE|FUNCTION|TRIGGER)\s+(IF\s+EXISTS\s+)?([\[\]\w.]+)",
    re.IGNORECASE)
ACCEPTED = re.compile(r"\s*(SET|DECLARE|BEGIN\s+TRAN|COMMIT)\b", re.IGNORECASE)
PRINT = re.compile(r"\s*PRINT\b(.*)", re.IGNORECASE | re.DOTALL)
USE = re.compile(r"\s*USE\s+(\[[^\]]+\]|\w+)\s*$", re.IGNORECASE)
EXEC = re.compile(r"\s*EXEC(UTE)?\s+(@\w+\s*=\s*)?([\[\]\w.]+)", re.IGNORECASE)
# The system procedures a script may call; any other name must have been created.
SYSTEM_PROCEDURES = {"sp_executesql", "sp_rename", "sp_refreshview", "sp_recompile",
                     "sp_addextendedproperty", "sp_updateextendedproperty",
                     "sp_dropextendedproperty", "sp_configure", "sp_help", "sp_who"}

XTYPES = {"TABLE": "U", "VIEW": "V", "PROC": "P", "PROCEDURE": "P", "FUNCTION": "FN",
          "TRIGGER": "TR"}


def object_name(raw):
    return raw.split(".")[-1].strip("[]")


def database_prefix(raw):
    """The database part of a three-part name, None without one."""
    parts = raw.split(".")
    return parts[0].strip("[]") if len(parts) == 3 else None


def written_name(raw):
    return raw.replace("[", "").replace("]", "")


# ---------------------------------------------------------------------------------------
# Execution
# ---------------------------------------------------------------------------------------


class Result:
    """One statement's outcome: columns and rows for a query, else a row count or None;
    tokens are the messages and environment changes sent before its DONE."""

    def __init__(self, columns=None, rows=None, count=None):
        self.columns = columns
        self.rows = rows
        self.count = count
        self.tokens = b""


class Session:
    def __init__(self, peer, database):
        self.peer = peer
        self.db = None
        self.pending = bytearray()
        self.open(database)

    def open(self, database):
        if self.db:
            self.db.close()
        self.database = database
        self.attached = {}
        self.db = sqlite3.connect(self.peer.db_path(database), isolation_level=None,
                                  check_same_thread=False)
        # Test data needs no durability; syncing every statement would dominate the timings.
        self.db.execute("PRAGMA synchronous = OFF")
        ensure_catalogue(self.db)
        self.db.create_function("getdate", 0, now_text)
        self.db.create_function("isnull", 2, lambda a, b: b if a is None else a)
        self.db.create_function("len", 1, lambda a: None if a is None else len(str(a).rstrip()))
        self.db.execute("CREATE TEMP TABLE sysdatabases (name TEXT)")
        self.db.executemany("INSERT INTO temp.sysdatabases VALUES (?)",
                            [(n,) for n in self.peer.database_names()])

    def close(self):
        self.db.close()

    def schema(self, database):
        """The SQLite schema that holds a database's tables; None when there is no such
        database."""
        if database is None or database.lower() in ("master", self.database.lower()):
            return "main"
        known = self.peer.known_database(database)
        if known is None:
            return None
        if known not in self.attached:
            alias = '"%s"' % known.replace('"', '""')
            self.db.execute("ATTACH DATABASE ? AS " + alias, (self.peer.db_path(known),))
            ensure_catalogue_in(self.db, alias)
            self.attached[known] = alias
        return self.attached[known]

    def qualified_name(self, m):
        """db.dbo.name as SQLite names it; a database that does not exist leaves the object
        unknown, as the server reports it for queries and changes of rows."""
        schema = self.schema(m.group(1) and m.group(1).strip("[]"))
        if schema is None:
            raise PeerError("Invalid object name '%s'." % written_name(m.group(0)), 208)
        return m.group(2) if schema == "main" else schema + "." + m.group(2)

    def run_batch(self, text, rule=None):
        """The results of the statements that ran, the error that ended the batch (or None)
        and the messages that came after the last result."""
        self.pending = bytearray()
        results = []
        try:
            if rule and ("message" in rule or "delay" not in rule):
                error = PeerError(rule.get("message", "Injected failure"),
                                  rule.get("number", 50000), rule.get("state", 1),
                                  rule.get("class", 16), rule.get("line", 1))
                if error.severity > 10:
                    raise error
                self.pending += token_message(TOK_INFO, error.number, error.state,
                                              error.severity, error.message, error.line)
            m = CREATE_MODULE.match(strip_comments(text))
            if m:
                self.define_module(m.group(1).upper(), m.group(2).upper(), m.group(3), text)
                results.append(self.finish(Result()))
            else:
                for statement in split_statements(text):
                    results.append(self.finish(self.run_statement(statement)))
            return results, None, b""
        except PeerError as e:
            return results, e, bytes(self.pending)

    def finish(self, result):
        result.tokens = bytes(self.pending)
        self.pending = bytearray()
        return result

    def define_module(self, verb, kind, raw_name, text):
        if database_prefix(raw_name) is not None:
            raise PeerError("'CREATE/ALTER %s' does not allow specifying the database name as a "
                            "prefix to the object name." % ("PROCEDURE" if kind == "PROC"
                                                             else kind), 166, 1, 15)
        name = object_name(raw_name)
        exists = self.db.execute("SELECT 1 FROM sysobjects WHERE name = ?", (name,)).fetchone()
        if verb == "CREATE":
            if exists:
                raise PeerError("There is already an object named '%s' in the database." % name,
                                2714)
            self.db.execute("INSERT INTO sysobjects VALUES (?, ?, ?)",
                            (name, XTYPES[kind], now_text()))
            self.db.execute("INSERT INTO peer_modules VALUES (?, ?)", (name, text))
        else:
            if not exists:
                raise PeerError("Invalid object name '%s'." % name, 208)
            self.db.execute("UPDATE peer_modules SET definition = ? WHERE name = ?",
                            (text, name))

    def run_statement(self, statement):
        code = strip_comments(statement).strip()
        if re.match(r"IF\b", code, re.IGNORECASE):
            parts = split_if(code[2:])
            if parts is None:
                raise PeerError("Incorrect syntax near the keyword 'IF'.", 156)
            condition, then_branch, else_branch = parts
            value = self.query_value("SELECT CASE WHEN " + translate(condition, self)
                                     + " THEN 1 ELSE 0 END")
            branch = then_branch if value == 1 else else_branch
            if branch is None:
                return Result()
            results = [self.run_statement(s) for s in split_statements(branch)]
            return results[-1] if results else Result()
        if ACCEPTED.match(code):
            return Result()
        m = PRINT.match(code)
        if m:
            self.print_message(m.group(1).strip())
            return Result()
        m = USE.match(code)
        if m:
            self.use(m.group(1).strip("[]"))
            return Result()
        if re.match(r"EXEC(UTE)?\b", code, re.IGNORECASE):
            self.check_procedure(code)
            return Result()
        m = CREATE_MODULE.match(code)
        if m:
            self.define_module(m.group(1).upper(), m.group(2).upper(), m.group(3), statement)
            return Result()
        created = CREATE_OBJECT.match(code)
        dropped = DROP_OBJECT.match(code)
        target = created or dropped
        schema = self.schema(database_prefix(target.group(3))) if target else "main"
        if schema is None and created:
            raise PeerError("Database '%s' does not exist." % database_prefix(created.group(3)),
                            2702, 2)
        if schema is None and dropped:
            raise PeerError("Cannot drop the %s '%s', because it does not exist or you do not "
                            "have permission." % (dropped.group(1).lower(),
                                                  written_name(dropped.group(3))), 3701, 5, 11)
        sql = translate(code, self)
        cursor = self.execute(sql)
        if cursor.description is not None:
            columns = [d[0] or "" for d in cursor.description]
            return Result(columns=columns, rows=cursor.fetchall())
        if created:
            self.db.execute("INSERT INTO %s.sysobjects VALUES (?, ?, ?)" % schema,
                            (object_name(created.group(3)), XTYPES[created.group(1).upper()],
                             now_text()))
        if dropped:
            self.db.execute("DELETE FROM %s.sysobjects WHERE name = ?" % schema,
                            (object_name(dropped.group(3)),))
            if dropped.group(1).upper() not in ("TABLE", "VIEW"):
                return Result()
        return Result(count=cursor.rowcount if cursor.rowcount >= 0 else None)

    def print_message(self, expression):
        try:
            value = self.query_value("SELECT " + translate(expression, self))
        except PeerError:
            value = expression  # a variable: the peer keeps none
        self.pending += token_message(TOK_INFO, 0, 1, 0, "" if value is None else str(value), 1)

    def use(self, name):
        known = self.peer.known_database(name)
        if known is None:
            raise PeerError("Database '%s' does not exist. Make sure that the name is entered "
                            "correctly." % name, 911, 1)
        old = self.database
        self.open(known)
        self.pending += token_envchange(1, known, old)
        self.pending += token_message(TOK_INFO, 5701, 1, 0,
                                      "Changed database context to '%s'." % known, 1)

    def check_procedure(self, code):
        m = EXEC.match(code)
        if not m:
            return  # EXEC ('...'): text the peer does not run
        raw = m.group(3)
        name = object_name(raw)
        if name.lower() in SYSTEM_PROCEDURES:
            return
        schema = self.schema(database_prefix(raw))
        if schema is not None and self.db.execute(
                "SELECT 1 FROM %s.sysobjects WHERE name = ? AND xtype = 'P'" % schema,
                (name,)).fetchone():
            return
        raise PeerError("Could not find stored procedure '%s'." % written_name(raw), 2812, 62)

    def execute(self, sql):
        drop_module = DROP_OBJECT.match(sql)
        if drop_module and drop_module.group(1).upper() not in ("TABLE", "VIEW"):
            self.db.execute("DELETE FROM peer_modules WHERE name = ?",
                            (object_name(drop_module.group(3)),))
            return self.db.execute("SELECT 1 WHERE 0")
        try:
            return self.db.execute(sql)
        except sqlite3.Error as e:
            raise PeerError(str(e)) from None

    def query_value(self, sql):
        row = self.execute(sql).fetchone()
        return row[0] if row else None


# ---------------------------------------------------------------------------------------
# Wire format
# ---------------------------------------------------------------------------------------


def ucs2(text):
    return text.encode("utf-16-le")


def b_varchar(text):
    data = ucs2(text)
    return struct.pack("<B", len(data) // 2) + data


def us_varchar(text):
    data = ucs2(text)
    return struct.pack("<H", len(data) // 2) + data


def token_done(status, curcmd=0, count=0):
    return struct.pack("<BHHQ", TOK_DONE, status, curcmd, count)


def token_message(token, number, state, severity, message, line):
    body = (struct.pack("<iBB", number, state, severity) + us_varchar(message)
            + b_varchar("ZEPRPEER") + b_varchar("") + struct.pack("<i", line))
    return struct.pack("<BH", token, len(body)) + body


def token_envchange(kind, new, old):
    if kind == 7:
        body = struct.pack("<B", kind) + struct.pack("<B", len(new)) + new + struct.pack(
            "<B", len(old)) + old
    else:
        body = struct.pack("<B", kind) + b_varchar(new) + b_varchar(old)
    return struct.pack("<BH", TOK_ENVCHANGE, len(body)) + body


def column_type(values):
    """Chooses the wire type of a column from its values."""
    kind = None
    for v in values:
        if v is None:
            continue
        if isinstance(v, bool) or isinstance(v, int):
            k = "bigint" if not -2**31 <= v < 2**31 else "int"
        elif isinstance(v, float):
            k = "float"
        elif isinstance(v, bytes):
            k = "nvarchar"
        elif DATETIME_RE.match(v):
            k = "datetime"
        else:
            try:
                v.encode(VARCHAR_CODEC)
                k = "varchar"
            except UnicodeEncodeError:
                k = "nvarchar"
        kind = merge_kind(kind, k)
    return kind or "varchar"


def merge_kind(a, b):
    if a is None or a == b:
        return b
    order = ["int", "bigint", "float"]
    if a in order and b in order:
        return order[max(order.index(a), order.index(b))]
    if {a, b} <= {"varchar", "nvarchar", "datetime"}:
        return "nvarchar" if "nvarchar" in (a, b) else "varchar"
    return "nvarchar"


def as_text(v):
    if isinstance(v, bytes):
        return v.decode("utf-8", "replace")
    return str(v)


def column_metadata(name, kind, values):
    flags = struct.pack("<IH", 0, 0x0001)  # user type, nullable
    if kind == "int":
        info = struct.pack("<BB", 0x26, 4)
    elif kind == "bigint":
        info = struct.pack("<BB", 0x26, 8)
    elif kind == "float":
        info = struct.pack("<BB", 0x6D, 8)
    elif kind == "datetime":
        info = struct.pack("<BB", 0x6F, 8)
    else:
        longest = max([len(encode_text(kind, as_text(v))) for v in values if v is not None]
                      + [2])
        size = 0xFFFF if longest > 8000 else 8000
        info = struct.pack("<BH", 0xE7 if kind == "nvarchar" else 0xA7, size) + COLLATION
        return flags + info + b_varchar(name), size == 0xFFFF
    return flags + info + b_varchar(name), False


def encode_text(kind, text):
    return ucs2(text) if kind == "nvarchar" else text.encode(VARCHAR_CODEC, "replace")


def datetime_value(text):
    fmt = "%Y-%m-%d %H:%M:%S.%f" if "." in text else "%Y-%m-%d %H:%M:%S"
    dt = datetime.datetime.strptime(text, fmt)
    days = (dt.date() - datetime.date(1900, 1, 1)).days
    ms = ((dt.hour * 60 + dt.minute) * 60 + dt.second) * 1000 + dt.microsecond // 1000
    ticks = (ms * 300 + 500) // 1000
    return struct.pack("<BiI", 8, days, ticks)


def column_value(kind, size_plp, v):
    if kind in ("int", "bigint"):
        if v is None:
            return b"\x00"
        return struct.pack("<Bi", 4, int(v)) if kind == "int" else struct.pack("<Bq", 8, int(v))
    if kind == "float":
        return b"\x00" if v is None else struct.pack("<Bd", 8, float(v))
    if kind == "datetime":
        return b"\x00" if v is None else datetime_value(v)
    if size_plp:
        if v is None:
            return struct.pack("<Q", 0xFFFFFFFFFFFFFFFF)
        data = encode_text(kind, as_text(v))
        return struct.pack("<QI", len(data), len(data)) + data + struct.pack("<I", 0)
    if v is None:
        return struct.pack("<H", 0xFFFF)
    data = encode_text(kind, as_text(v))
    return struct.pack("<H", len(data)) + data


def result_set(result):
    columns = result.columns
    rows = result.rows
    kinds = [column_type([r[i] for r in rows]) for i in range(len(columns))]
    out = bytearray(struct.pack("<BH", TOK_COLMETADATA, len(columns)))
    plp = []
    for i, name in enumerate(columns):
        meta, is_plp = column_metadata(name, kinds[i], [r[i] for r in rows])
        plp.append(is_plp)
        out += meta
    for r in rows:
        out.append(TOK_ROW)
        for i, v in enumerate(r):
            out += column_value(kinds[i], plp[i], v)
    return bytes(out)


class Connection(socketserver.BaseRequestHandler):
    """One client: pre-login, login, then batches until the client leaves."""

    def setup(self):
        self.packet_size = 4096
        self.session = None
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def read_exact(self, n):
        data = bytearray()
        while len(data) < n:
            chunk = self.request.recv(n - len(data))
            if not chunk:
                raise EOFError()
            data += chunk
        return bytes(data)

    def read_message(self):
        payload = bytearray()
        while True:
            header = self.read_exact(8)
            kind, status, length = struct.unpack(">BBH", header[:4])
            payload += self.read_exact(length - 8)
            if status & 0x01:
                return kind, bytes(payload)

    def send(self, data, kind=PKT_REPLY):
        step = self.packet_size - 8
        chunks = [data[i:i + step] for i in range(0, len(data), step)] or [b""]
        out = bytearray()
        for n, chunk in enumerate(chunks):
            last = n == len(chunks) - 1
            out += struct.pack(">BBHHBB", kind, 1 if last else 0, len(chunk) + 8, 0,
                               (n + 1) % 256, 0)
            out += chunk
        self.request.sendall(bytes(out))

    def handle(self):
        peer = self.server.peer
        try:
            while True:
                kind, payload = self.read_message()
                if kind == PKT_PRELOGIN:
                    self.send(prelogin_reply())
                elif kind == PKT_LOGIN7:
                    if not self.login(peer, payload):
                        return
                elif kind == PKT_SQL_BATCH:
                    self.batch(peer, payload)
                elif kind == PKT_ATTENTION:
                    self.send(token_done(DONE_ATTN))
                elif kind == PKT_TRANSACTION:
                    self.send(token_done(DONE_FINAL))
                else:
                    self.send(token_message(TOK_ERROR, 50000, 1, 16,
                                            "Request type %d is not supported here" % kind, 1)
                              + token_done(DONE_ERROR))
        except (EOFError, ConnectionError):
            pass
        finally:
            if self.session:
                self.session.close()

    def cancelled_within(self, seconds):
        """Waits as a slow statement would; True when the client cancels meanwhile."""
        deadline = time.monotonic() + seconds
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            readable, _, _ = select.select([self.request], [], [], remaining)
            if readable:
                kind, _ = self.read_message()
                if kind == PKT_ATTENTION:
                    return True

    def login(self, peer, payload):
        def field(offset_pos):
            off, length = struct.unpack("<HH", payload[offset_pos:offset_pos + 4])
            return payload[off:off + 2 * length]

        self.packet_size = max(512, min(32767, struct.unpack("<I", payload[8:12])[0]))
        user = field(40).decode("utf-16-le")
        raw = bytes(((b ^ 0xA5) >> 4 | ((b ^ 0xA5) & 0x0F) << 4) for b in field(44))
        password = raw.decode("utf-16-le")
        database = field(68).decode("utf-16-le") or "master"
        with peer.lock:
            peer.reload_control()
            ok = peer.check_login(user, password)
            known = database.lower() in [n.lower() for n in peer.database_names()]
        if not ok:
            self.send(token_message(TOK_ERROR, 18456, 1, 14,
                                    "Login failed for user '%s'." % user, 1)
                      + token_done(DONE_ERROR))
            return False
        if not known:
            self.send(token_message(TOK_ERROR, 4060, 1, 11,
                                    'Cannot open database "%s" requested by the login. '
                                    "The login failed." % database, 1)
                      + token_message(TOK_ERROR, 18456, 1, 14,
                                      "Login failed for user '%s'." % user, 1)
                      + token_done(DONE_ERROR))
            return False
        for name in peer.database_names():
            if name.lower() == database.lower():
                database = name
        self.session = Session(peer, database)
        size = str(self.packet_size)
        body = (token_envchange(1, database, "master")
                + token_message(TOK_INFO, 5701, 2, 0,
                                "Changed database context to '%s'." % database, 1)
                + token_envchange(7, COLLATION, b"")
                + token_envchange(2, "us_english", "")
                + token_envchange(4, size, size)
                + loginack()
                + token_done(DONE_FINAL))
        self.send(body)
        return True

    def batch(self, peer, payload):
        if len(payload) >= 4:
            total = struct.unpack("<I", payload[:4])[0]
            if 4 <= total <= len(payload) and total < 1024:
                payload = payload[total:]
        text = payload.decode("utf-16-le", "replace")
        peer.log_batch(self.session.database if self.session else "", text)
        rule = peer.matching_rule(self.session.database, text)
        if rule and rule.get("delay") and self.cancelled_within(rule["delay"]):
            self.send(token_done(DONE_ATTN))
            return
        results, error, trailing = self.session.run_batch(text, rule)
        # The statements that ran before a failure are answered as usual, with DONE_MORE:
        # the error comes after them, so a client sees it only when it reads on.
        out = bytearray()
        for i, result in enumerate(results):
            more = DONE_MORE if i < len(results) - 1 or error else 0
            out += result.tokens
            if result.columns is not None:
                out += result_set(result)
                out += token_done(more | DONE_COUNT, 0xC1, len(result.rows))
            elif result.count is not None:
                out += token_done(more | DONE_COUNT, 0xC3, result.count)
            else:
                out += token_done(more, 0, 0)
        out += trailing
        if error:
            out += token_message(TOK_ERROR, error.number, error.state, error.severity,
                                 error.message, error.line)
            out += token_done(DONE_ERROR)
        elif not results:
            out += token_done(DONE_FINAL)
        self.send(bytes(out))


def prelogin_reply():
    options = [
        (0x00, struct.pack(">BBHH", 10, 50, 1600, 0)),  # version
        (0x01, b"\x02"),  # encryption not supported
        (0x02, b"\x00"),  # instance
        (0x03, b""),  # thread id
        (0x04, b"\x00"),  # MARS off
    ]
    header_len = len(options) * 5 + 1
    head = bytearray()
    data = bytearray()
    for token, value in options:
        head += struct.pack(">BHH", token, header_len + len(data), len(value))
        data += value
    head.append(0xFF)
    return bytes(head + data)


def loginack():
    body = (struct.pack("<B", 1) + bytes([0x74, 0x00, 0x00, 0x04])
            + b_varchar("Microsoft SQL Server") + bytes([10, 50, 0x06, 0x40]))
    return struct.pack("<BH", TOK_LOGINACK, len(body)) + body


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", required=True)
    parser.add_argument("--control")
    parser.add_argument("--log")
    parser.add_argument("--time-limit", type=float, default=600)
    args = parser.parse_args()

    os.makedirs(args.data, exist_ok=True)
    server = Server(("127.0.0.1", 0), Connection)
    server.peer = Peer(args.data, args.control, args.log)
    print("LISTENING %d" % server.server_address[1], flush=True)

    def stop_on_stdin_close():
        try:
            while sys.stdin.buffer.read(4096):
                pass
        except OSError:
            pass
        os._exit(0)

    threading.Thread(target=stop_on_stdin_close, daemon=True).start()
    threading.Timer(args.time_limit, lambda: os._exit(0)).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
