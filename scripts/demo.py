#!/usr/bin/python3
"""Runs the updater on a sandbox application and reports what the update changed.

Lays out out/demo/ (the application folder with ZEPRUpdate.exe, the application App.exe and
UPDATE.INI, and the download site), builds an update archive with an Install.Ini that uses
every section form and two SQL scripts, serves it from the local download endpoint, starts
the SQL Server stand-in as the database, runs a type 3 update (in the window when a display
is there, else headless) and prints the files installed, the scripts run, the rows written
and whether the application was started again.
"""

import argparse
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import time
import zipfile

CLIENT, SECTION, APP = "KLIJENT", "DEMO", "App"


def start_peer(argv):
    """Starts a test peer and returns (process, port) once it listens."""
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline().strip()
    if not line.startswith("LISTENING "):
        proc.kill()
        sys.exit("peer did not start: %s %s" % (argv[1], line))
    return proc, int(line.split()[1])


def build_archive(path, demo_exe):
    install_ini = (
        "[KILL]\r\n1=Pomocni.exe\r\n"
        "[DIR_1]\r\n1=Izvjestaji\r\n"
        "[CPY_.Izvjestaji\\]\r\n1=Racun.rpt#B\r\n"
        "[CPY_Alati\\]\r\n1=Pomocni.txt\r\n"
    ).encode("cp1250")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("Install.Ini", install_ini)
        z.write(demo_exe, APP + ".exe")
        z.writestr("Citaj.txt", "Nova verzija demo aplikacije.\r\n")
        z.writestr("Dodaci/Pomoc.txt", "Pomoć za novu verziju.\r\n".encode("cp1250"))
        z.writestr("Racun.rpt#A", "racun, varijanta A\r\n")
        z.writestr("Racun.rpt#B", "racun, varijanta B\r\n")
        z.writestr("Pomocni.txt", "pomoćni alat\r\n".encode("cp1250"))
        z.writestr("Update/UpdateBaze/001_Artikli.sql", (
            "CREATE TABLE Artikli (Sifra int, Naziv varchar(50))\r\nGO\r\n"
            "INSERT INTO Artikli VALUES (1, 'Čokolada')\r\nGO\r\n").encode("cp1250"))
        z.writestr("Update/UpdateBaze/002_Cijene.sql", (
            "CREATE TABLE Cijene (Sifra int, Cijena int)\r\nGO\r\n"
            "INSERT INTO Cijene VALUES (1, 250)\r\nGO\r\n").encode("cp1250"))


def tree(folder):
    out = {}
    for base, _, files in os.walk(folder):
        for name in files:
            full = os.path.join(base, name)
            out[os.path.relpath(full, folder)] = os.path.getmtime(full)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--headless", action="store_true", help="never open the window")
    args = parser.parse_args()

    out = os.path.join(os.path.abspath(args.source), "out", "demo")
    shutil.rmtree(out, ignore_errors=True)
    app = os.path.join(out, "app")
    site = os.path.join(out, "site")
    data = os.path.join(out, "database")
    for d in (app, os.path.join(site, CLIENT, SECTION), data):
        os.makedirs(d)
    shutil.copy2(os.path.join(args.build, "bin", "ZEPRUpdate.exe"), app)
    demo_exe = os.path.join(args.build, "bin", "Demo.exe")
    shutil.copy2(demo_exe, os.path.join(app, APP + ".exe"))
    with open(os.path.join(app, "Citaj.txt"), "w") as f:
        f.write("Stara verzija.\r\n")
    build_archive(os.path.join(site, CLIENT, SECTION, "Update.zip"), demo_exe)

    support = os.path.join(args.source, "tests", "support")
    http, http_port = start_peer(["/usr/bin/python3", os.path.join(support, "http_endpoint.py"),
                                  "--root", site, "--log", os.path.join(out, "http.log")])
    control = os.path.join(out, "database.json")
    with open(control, "w") as f:
        json.dump({"users": {"sa": "tajna"}, "databases": {"Demo": [
            "CREATE TABLE OpcijeAplikacije (SEKCIJA varchar(50), Kljuc varchar(50),"
            " Vrijednost varchar(255), Komentar varchar(255))"]}}, f)
    tds, tds_port = start_peer(["/usr/bin/python3", os.path.join(support, "tds_peer", "tds_peer.py"),
                                "--data", data, "--control", control,
                                "--log", os.path.join(out, "sql.log")])
    with open(os.path.join(app, "UPDATE.INI"), "w") as f:
        f.write("[HTTP]\r\nHOST=127.0.0.1:%d\r\n" % http_port)

    before = tree(app)
    env = dict(os.environ)
    if args.headless:
        env.pop("DISPLAY", None)
    connection = "127.0.0.17891+%d,sa,tajna,Demo" % tds_port
    argv = [os.path.join(app, "ZEPRUpdate.exe"), "Demo aplikacija", SECTION, APP, CLIENT, "3",
            connection, "1"]
    print("$ " + " ".join(argv), flush=True)
    started = time.time()
    subprocess.run(argv, cwd=app, env=env, timeout=300)
    print("\nThe run took %.1f s." % (time.time() - started))

    after = tree(app)
    print("\nFiles installed or replaced in the application folder:")
    for name in sorted(after):
        if name.startswith("Update" + os.sep) or name == "started.txt":
            continue
        if name not in before:
            print("  + " + name)
        elif after[name] != before[name]:
            print("  * " + name)
    print("\nSQL batches the database received:")
    if os.path.exists(os.path.join(out, "sql.log")):
        with open(os.path.join(out, "sql.log"), encoding="utf-8") as f:
            for line in f:
                print("  " + line.rstrip("\n")[:110])
    print("\nRows written:")
    db = sqlite3.connect(os.path.join(data, "Demo.sqlite")) if os.path.exists(
        os.path.join(data, "Demo.sqlite")) else None
    if db:
        for table in ("Artikli", "Cijene", "OpcijeAplikacije"):
            try:
                for row in db.execute("SELECT * FROM " + table):
                    print("  %s: %s" % (table, row))
            except sqlite3.Error as e:
                print("  %s: %s" % (table, e))
    log = os.path.join(app, "GreškeSQLUpdate.txt")
    if os.path.exists(log) and os.path.getsize(log):
        print("\nSQL error log:\n" + open(log, encoding="cp1250").read())
    marker = os.path.join(app, "started.txt")
    print("\nApplication started again: %s" % ("yes" if os.path.exists(marker) else "no"))
    print("Sandbox: " + out)
    for proc in (http, tds):
        proc.stdin.close()
        proc.wait(timeout=10)


if __name__ == "__main__":
    main()
