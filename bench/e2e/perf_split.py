#!/usr/bin/python3
"""Splits a perf profile of tessavo (e2e_bench.py --perf DIR) into where the
time goes: per thread, and the main thread by what it was doing.

  bench/e2e/perf_split.py DIR/tessavo-lines.data [...]

Each sample counts once, for the first category (in the order below) that
one of its call chain's frames belongs to. Stacks copied by perf are 8 KiB
deep at most: a sample whose chain is cut and carries no marker is counted
as "unattributed".
"""

import collections
import subprocess
import sys

# Main-thread categories: (name, markers), the first that matches wins.
MAIN = [
    ("AT-SPI queries (the benchmark's own polls)", ["AtSpiAdaptor::handleMessage",
                                                   "QDBusConnectionPrivate::"]),
    ("accessibility bookkeeping", ["QAccessible", "AtSpiAdaptor", "QSpiAccessible",
                                   "AnnounceInsert", "LogViewAccessible"]),
    ("Qt painting: the log", ["LogView::paintEvent", "LogView::RowLayout"]),
    ("Qt painting: other widgets, backing store, flush", [
        "QWidgetRepaintManager", "QBackingStore", "QXcbBackingStore", "QWidgetPrivate::drawWidget",
        "QWidgetPrivate::paintSiblingsRecursive", "QLabel::paintEvent", "QFrame::paintEvent",
        "QRasterPaintEngine", "QPainter::"]),
    ("Recv counter (status-bar label)", ["AddRecvCount"]),
    ("log view per chunk: scroll range and position", [
        "LogView::UpdateScrollRange", "LogView::ScrollToEnd", "QAbstractSlider::"]),
    ("log model: text store (LogText)", ["LogText::"]),
    ("log model: layout (LogLayout)", ["LogLayout::"]),
    ("log model: rest of the append", ["TMemo::Append", "TMemo::ScrollToEnd",
                                       "LogView::TextAppended"]),
    ("receive handler, rest (copy, hex)", ["ComPortReceiveData"]),
    ("main-thread dispatch (queue, window procedure, free)", [
        "DispatchQueuedMessages", "PumpMessageQueue", "PeekMessage", "DispatchMessage",
        "NotifyWndProc", "LocalFree", "MessageQueue", "ProcessMessages"]),
    ("Qt event loop, X input, timers, other", ["g_main_context", "QEventDispatcher",
                                               "QXcbConnection", "QTimerInfoList", "QEventLoop",
                                               "QCoreApplication", "QApplication"]),
]

# Other threads by a frame their chains carry.
ROLES = [
    ("reader thread (TReadThread: reads, posts)", "TReadThread::"),
    ("writer thread (TWriteThread)", "TWriteThread::"),
    ("auto-send thread (tSendThread)", "tSendThread::"),
    ("device service thread (POSIX layer)", "Device::ServiceLoop"),
]


def samples(path):
    out = subprocess.run(["perf", "script", "-i", path, "-F", "pid,tid,comm,ip,sym,dso"],
                         capture_output=True, text=True, check=True).stdout
    for block in out.split("\n\n"):
        lines = [l for l in block.split("\n") if l.strip()]
        if not lines:
            continue
        head = lines[0].split()
        # "comm pid/tid" with comm possibly holding spaces
        pid, tid = head[-1].split("/") if "/" in head[-1] else (head[-2], head[-1])
        comm = " ".join(head[:-1])
        frames = []
        for l in lines[1:]:
            parts = l.strip().split(" ", 1)
            frames.append(parts[1] if len(parts) > 1 else "")
        yield int(pid), int(tid), comm, frames


def ours(frames):
    return [f.split(" (")[0] for f in frames if "/tessavo)" in f]


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    for path in sys.argv[1:]:
        per_tid = collections.Counter()
        comm_of = {}
        role_votes = collections.defaultdict(collections.Counter)
        main_split = collections.Counter()
        main_leaf = collections.defaultdict(collections.Counter)
        tid_leaf = collections.defaultdict(collections.Counter)
        pid = None
        for pid, tid, comm, frames in samples(path):
            per_tid[tid] += 1
            comm_of[tid] = comm
            text = "\n".join(frames)
            leaf = frames[0].split(" (")[0] if frames else "?"
            if tid == pid:
                for name, markers in MAIN:
                    if any(m in text for m in markers):
                        break
                else:
                    name = "unattributed (stack cut short)"
                main_split[name] += 1
                main_leaf[name][leaf] += 1
                continue
            for role, marker in ROLES:
                if marker in text:
                    role_votes[tid][role] += 1
            own = ours(frames)
            tid_leaf[tid][own[0] if own else leaf] += 1
        total = sum(per_tid.values())
        print("%s: %d samples" % (path, total))
        print("  %-58s %6s" % ("thread / what", "share"))
        for tid, n in per_tid.most_common():
            if tid == pid:
                print("  %-58s %5.1f%%" % ("main thread", 100.0 * n / total))
                for name, m in main_split.most_common():
                    top = ", ".join("%s %d" % (s[:40], c) for s, c in main_leaf[name].most_common(3))
                    print("    %-56s %5.1f%%   %s" % (name, 100.0 * m / total, top))
                continue
            role = (role_votes[tid].most_common(1)[0][0] if role_votes[tid]
                    else "%s (Qt)" % comm_of[tid])
            top = ", ".join("%s %d" % (s[:40], c) for s, c in tid_leaf[tid].most_common(4))
            print("  %-58s %5.1f%%   %s" % (role, 100.0 * n / total, top))
        print()


if __name__ == "__main__":
    main()
