#!/usr/bin/env python3
"""Counts the finishing keywords that real PPDs use.

Sources: the compressed PPD archives behind the driver programs in /usr/lib/cups/driver/
(openprinting-ppds, postscript-hp) and the plain PPD files under /usr/share/ppd/.

  survey.py extract DIR        write every PPD once into DIR (one file each)
  survey.py count DIR          count *OpenUI keywords that look like finishing options
  survey.py list DIR MIN       print the finishing keywords used by at least MIN PPDs,
                               as <string> lines for the bundle's PMPPDKeysSupported
  survey.py coverage DIR PLIST DIALOG [BUNDLE]
                               run the print dialog on every PPD that has a finishing
                               option and report how many show at least one control,
                               crashes and time-outs, and how many disabled items say
                               which options block them
"""
import base64
import collections
import gzip
import json
import lzma
import os
import re
import subprocess
import sys
import types

DRIVERS = ["/usr/lib/cups/driver/openprinting-ppds", "/usr/lib/cups/driver/postscript-hp"]
PLAIN_DIRS = ["/usr/share/ppd"]

# Option keywords that name a finishing step (matched without regard to case).
FINISHING = re.compile(
    r"staple|stapl|punch|hole|fold|booklet|saddle|bind|binding|outputbin|outbin|collat|"
    r"offset|jog|shift|sort|stack|finish|trim|crease|perfect|coil|tray.*out|"
    r"mailbox|separat|bundle|wrap|cut", re.I)
# Keywords that match the pattern above but are no finishing step.
NOT_FINISHING = re.compile(
    r"^(Resolution|PageSize|PageRegion|InputSlot|MediaType|ColorModel|Duplex)$|"
    r"Shift(Left|Right|Up|Down|Image|Front|Back)|Folder(Number|Password)|ImageShift|Margin|Halftone|Screen|Toner|Cut[A-Z]*Media|"
    r"Separation|ColorSep|Bundle[A-Z]*Color", re.I)

OPENUI = re.compile(rb"^\*OpenUI\s+\*([^\s/:]+)")
OPENGROUP = re.compile(rb"^\*OpenGroup:\s*(\S+)")
CLOSEGROUP = re.compile(rb"^\*CloseGroup")


def load_driver(path):
    module = types.ModuleType("ppdarchive")
    with open(path) as f:
        code = compile(f.read(), path, "exec")
    exec(code, module.__dict__)  # the program's main() runs only as __main__
    index = module.load()
    archive = lzma.decompress(base64.b64decode(index.pop("ARCHIVE").encode("ascii")))
    for name, entry in index.items():
        start, length = entry[0], entry[1]
        yield name, archive[start:start + length]


def extract(outdir):
    os.makedirs(outdir, exist_ok=True)
    count = 0
    for drv in DRIVERS:
        tag = os.path.basename(drv)
        for name, data in load_driver(drv):
            target = os.path.join(outdir, tag + "__" + name.split("/", 1)[1].replace("/", "__"))
            with open(target, "wb") as f:
                f.write(data)
            count += 1
    for base in PLAIN_DIRS:
        for root, _, files in os.walk(base):
            for fn in files:
                src = os.path.join(root, fn)
                target = os.path.join(outdir, "plain__" + os.path.relpath(src, base).replace("/", "__"))
                with open(src, "rb") as a, open(target, "wb") as b:
                    data = a.read()
                    b.write(gzip.decompress(data) if data[:2] == b"\x1f\x8b" else data)
                count += 1
    print(f"{count} files written to {outdir}, {len(ppd_files(outdir))} of them PPDs")


def is_ppd(path):
    with open(path, "rb") as f:
        return f.read(11) == b"*PPD-Adobe:"


def ppd_files(ppddir):
    """The PPDs extracted (empty placeholder files in the packages are no PPDs)."""
    return sorted(p for p in (os.path.join(ppddir, f) for f in os.listdir(ppddir)) if is_ppd(p))


def options_of(path):
    """The PPD's option keywords, less the installable-hardware ones (no user choice)."""
    found = []
    group = b""
    with open(path, "rb") as f:
        for line in f:
            g = OPENGROUP.match(line)
            if g:
                group = g.group(1).split(b"/")[0]
                continue
            if CLOSEGROUP.match(line):
                group = b""
                continue
            m = OPENUI.match(line)
            if m and group != b"InstallableOptions":
                found.append(m.group(1).decode("ascii", "replace"))
    return found


def is_finishing(keyword):
    return bool(FINISHING.search(keyword)) and not NOT_FINISHING.search(keyword)


def count(ppddir, minimum=1, quiet=False):
    per_keyword = collections.Counter()
    total = with_finishing = 0
    for path in ppd_files(ppddir):
        total += 1
        keys = {k for k in options_of(path) if is_finishing(k)}
        if keys:
            with_finishing += 1
        per_keyword.update(keys)
    ranked = sorted(per_keyword.items(), key=lambda kv: (-kv[1], kv[0]))  # most used first, then by name
    chosen = [k for k, n in ranked if n >= minimum]
    if not quiet:
        print(f"PPDs: {total}; with a finishing option: {with_finishing}; "
              f"distinct finishing keywords: {len(per_keyword)}; used by >= {minimum} PPDs: {len(chosen)}")
        for k, n in ranked:
            print(f"{n:6d} {k}")
    return chosen


def coverage(ppddir, plist, dialog, bundle=None):
    supported = set(re.findall(r"<string>([^<]+)</string>",
                               open(plist).read().split("PMPPDKeysSupported", 1)[1].split("</array>", 1)[0]))
    total = shown = unreadable = crashed = timed_out = 0
    disabled = explained = 0
    unexplained = collections.Counter()
    missing = collections.Counter()
    for path in ppd_files(ppddir):
        keys = {k for k in options_of(path) if is_finishing(k)}
        if not keys:
            continue
        total += 1
        args = [dialog, "--ppd", path, "--json"] + (["--bundle", bundle] if bundle else [])
        controls = []
        try:
            out = subprocess.run(args, capture_output=True, timeout=60)
        except subprocess.TimeoutExpired:
            timed_out += 1
            continue
        if out.returncode == 0:
            controls = json.loads(out.stdout.decode("utf-8"))["controls"]
        elif out.returncode < 0 or out.returncode > 3:
            crashed += 1
            print(f"  crashed ({out.returncode}): {path}")
        else:
            unreadable += 1
        for item in (i for c in controls for i in c.get("items", []) if not i["enabled"]):
            disabled += 1
            if item["blocked_by"]:
                explained += 1
            else:
                unexplained[os.path.basename(path)] += 1
        if controls:
            shown += 1
        else:
            missing.update(keys - supported)
    print(f"PPDs with a finishing option: {total}; showing at least one control: {shown} "
          f"({100.0 * shown / max(total, 1):.1f}%); refused by the dialog (e.g. unreadable): {unreadable}; "
          f"crashed: {crashed}; timed out: {timed_out}")
    print(f"disabled items: {disabled}; naming what blocks them: {explained} "
          f"({100.0 * explained / max(disabled, 1):.2f}%)")
    for name, n in unexplained.most_common(10):
        print(f"  without a blocker: {n:5d} in {name}")
    for k, n in missing.most_common(20):
        print(f"  not shown: {n:5d} {k}")


if __name__ == "__main__":
    cmd = sys.argv[1] if len(sys.argv) > 1 else ""
    if cmd == "extract":
        extract(sys.argv[2])
    elif cmd == "count":
        count(sys.argv[2])
    elif cmd == "list":
        for k in count(sys.argv[2], int(sys.argv[3]), quiet=True):
            print(f"\t\t<string>{k}</string>")
    elif cmd == "coverage":
        coverage(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5] if len(sys.argv) > 5 else None)
    else:
        print(__doc__)
        sys.exit(2)
