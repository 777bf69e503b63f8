"""Peak memory of quastor calls, measured in a child process."""

import subprocess
import sys

# Writing 5 to clear_refs restarts the peak that VmHWM reports, so what the
# child inherited from this process does not count.
PROBE = (
    "import sys, quastor\n"
    "open('/proc/self/clear_refs', 'w').write('5')\n"
    "{call}\n"
    "print(next(l.split()[1] for l in open('/proc/self/status') if l.startswith('VmHWM')))\n"
)


def peak_kib(call: str, *args: str) -> int:
    """The peak resident memory, in KiB, of a child that runs `call` with `args` in sys.argv[1:]."""
    result = subprocess.run([sys.executable, "-c", PROBE.format(call=call), *args],
                            capture_output=True, text=True, check=True)
    return int(result.stdout)
