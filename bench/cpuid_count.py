# Counts the cpuid instructions a program executes from exec to exit, in its own code and in every
# object the dynamic loader maps: a breakpoint on each cpuid that objdump finds, counted, never stopping.
# Usage: gdb -batch -nx -ex 'set $report = "FILE"' -x bench/cpuid_count.py --args PROGRAM
# Writes to FILE one line per object that ran a cpuid, then "total N"; PROGRAM's output goes where
# gdb's own standard output does.
import re
import subprocess

import gdb


class Counter(gdb.Breakpoint):
    def __init__(self, address, path):
        super().__init__(f"*{address:#x}", internal=True)
        self.path = path
        self.hits = 0

    def stop(self):
        self.hits += 1
        return False


def cpuid_sites(path):
    listing = subprocess.run(["objdump", "-d", path], capture_output=True, text=True, check=True).stdout
    return [int(m.group(1), 16) for m in re.finditer(r"^\s*([0-9a-f]+):[^\n]*\tcpuid", listing, re.M)]


def elf_type(path):
    with open(path, "rb") as file:
        header = file.read(18)
    return int.from_bytes(header[16:18], "little") if header[:4] == b"\x7fELF" else None


def mapped_objects():
    objects = {}
    for line in gdb.execute("info proc mappings", to_string=True).splitlines():
        fields = line.split()
        if len(fields) >= 5 and fields[0].startswith("0x") and fields[-1].startswith("/"):
            start, path = int(fields[0], 16), fields[-1]
            objects[path] = min(start, objects.get(path, start))
    return objects


counters = []
armed = set()


def arm_new_objects():
    for path, start in mapped_objects().items():
        if path not in armed:
            armed.add(path)
            kind = elf_type(path)
            if kind is None:  # ld.so.cache and other data files
                continue
            # A fixed-address executable (ET_EXEC) runs at objdump's addresses; anything else is shifted.
            base = 0 if kind == 2 else start
            counters.extend(Counter(base + site, path) for site in cpuid_sites(path))


gdb.execute("set pagination off")
gdb.execute("set startup-with-shell off")
gdb.execute("starti", to_string=True)
arm_new_objects()
gdb.execute("set stop-on-solib-events 1")
while gdb.selected_inferior().pid != 0:
    gdb.execute("continue", to_string=True)
    if gdb.selected_inferior().pid != 0:
        arm_new_objects()

per_object = {}
for counter in counters:
    per_object[counter.path] = per_object.get(counter.path, 0) + counter.hits
with open(gdb.convenience_variable("report").string(), "w", encoding="utf-8") as report:
    for path, hits in per_object.items():
        if hits:
            print(f"{path} {hits}", file=report)
    print(f"total {sum(per_object.values())}", file=report)
