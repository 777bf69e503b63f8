"""Another process truncates the archive while extract_zip or preflight_zip
reads it. Every call must end with an error or a success; none may kill
the interpreter (a mapped read would raise SIGBUS).

Run: python3 tests/stress/truncate_race.py [ATTEMPTS]
"""

import os
import random
import subprocess
import sys
import tempfile
import time
import zipfile

CALL = (
    "import sys, quastor\n"
    "try:\n"
    "    quastor.extract_zip(sys.argv[1], sys.argv[2]) if sys.argv[2] else quastor.preflight_zip(sys.argv[1])\n"
    "except RuntimeError as error:\n"
    "    print(error)\n"
)


def build(path, big):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED if big else zipfile.ZIP_STORED) as z:
        if big:
            for i in range(64):  # 256 MiB
                z.writestr(f"d/f{i}", os.urandom(1 << 20) + bytes(3 << 20))
        else:
            for i in range(65000):
                z.writestr(f"d{i % 100}/f{i}", b"")


def main():
    attempts = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    crashes = 0
    with tempfile.TemporaryDirectory() as base:
        for kind, big in (("extract", True), ("preflight", False)):
            original = os.path.join(base, f"{kind}.zip")
            build(original, big)
            with open(original, "rb") as f:
                data = f.read()
            outcomes = {}
            for _ in range(attempts):
                victim = os.path.join(base, "victim.zip")
                with open(victim, "wb") as f:
                    f.write(data)
                dest = os.path.join(base, "out") if kind == "extract" else ""
                call = subprocess.Popen([sys.executable, "-c", CALL, victim, dest], stdout=subprocess.PIPE, text=True)
                time.sleep(random.uniform(0.01, 0.4) if big else random.uniform(0.03, 0.12))
                os.truncate(victim, random.randint(0, len(data) // 2))
                output, _ = call.communicate()
                key = f"exit {call.returncode}: {output.strip() or 'success'}"
                outcomes[key] = outcomes.get(key, 0) + 1
                crashes += call.returncode != 0
                subprocess.run(["rm", "-rf", os.path.join(base, "out")], check=True)
            print(kind, outcomes)
    sys.exit(1 if crashes else 0)


if __name__ == "__main__":
    main()
