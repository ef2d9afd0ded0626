#!/usr/bin/env python3
"""Turns velfiledb_bench's JSON output into BENCHMARKS.md.

Usage: report.py BENCH.json OUT.md

Every figure is printed beside its floor (the work the file format forces,
done with OpenSSL alone) and beside the peer (SQLite holding the same records
with the same indexes), as ratios; the targets are checked at the end.  The
plot of insert cost against table size is written beside OUT.md as an SVG
(PLOT_NAME).  Standard library only.
"""
import json
import math
import os
import sys
from xml.sax.saxutils import escape

OPS_READ = ["open", "close", "close_compact", "resize", "lookup_id", "lookup_label",
            "lookup_issuer_serial", "lookup_subject", "walk"]
OPS_CHANGE = ["insert", "update", "delete"]
SYNCS = ["off", "normal", "full"]
UNIQUE_LOOKUPS = ["lookup_id", "lookup_label", "lookup_issuer_serial"]
PLOT_NAME = "BENCHMARKS-insert-cost.svg"
TX_RATIO_TARGET = 1.5      # one transaction of the largest size, v4, sync full, against the peer
IMPORT_TARGET_S = 3.0      # velkdb import of the largest size, sync full
IMPORT_PEER_TARGET = 0.8   # that import, v4, against `openssl pkcs12 -export` of the same bundle
LIST_TARGET_S = 0.3        # velkdb list of the largest size
OPEN_TARGET = 1.2          # open, v4, largest size, against its floor
COMPACT_TARGET = 3.0       # close with compaction, v4, largest size, against one hash pass
STORE_PEERS = (("pkcs12_export", "`openssl pkcs12 -export -nokeys` of the same bundle"),
               ("java_keystore", "the Java KeyStore API: the same bundle into a PKCS12 KeyStore, JVM start included"))


def load(path):
    with open(path) as f:
        data = json.load(f)
    results = {}
    errors = []
    for b in data.get("benchmarks", []):
        parts = b["name"].split("/")
        if len(parts) < 5:
            continue
        impl, op, ver, sync, n = parts[:5]
        if b.get("error_occurred"):
            message = b.get("error_message", "error")
            errors.append("%s: %s" % ("/".join(parts[:5]), message))
            if message.startswith("stopped at the time limit"):
                results[(impl, op, ver, sync, int(n))] = {"stopped": message}
            if message.startswith("skipped: "):
                # A peer that is not installed here: a note, not an error.
                errors.pop()
                results[(impl, op, ver, sync, int(n))] = {"skipped": message[len("skipped: "):]}
            continue
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b.get("time_unit", "us")]
        results[(impl, op, ver, sync, int(n))] = {
            "real": b["real_time"] * scale,
            "cpu": b["cpu_time"] * scale,
            "iterations": b.get("iterations", 0),
            "counters": b,
        }
    return data.get("context", {}), results, errors


def fmt_time(us):
    if us is None:
        return "—"
    if us >= 10000:
        return "%.1f ms" % (us / 1000)
    if us >= 1000:
        return "%.2f ms" % (us / 1000)
    if us >= 100:
        return "%.0f µs" % us
    if us >= 10:
        return "%.1f µs" % us
    return "%.2f µs" % us


def fmt_decade(us):
    """A power of ten of microseconds as an axis label: 1 µs, 10 µs, ... 1 s."""
    for unit, scale in (("s", 1e6), ("ms", 1e3), ("µs", 1.0)):
        if us >= scale * 0.999:
            return "%g %s" % (round(us / scale, 6), unit)
    return "%g µs" % us


def fmt_ratio(a, b):
    if a is None or b is None or b == 0:
        return "—"
    return "%.2f×" % (a / b)


class Report:
    def __init__(self, context, results):
        self.ctx = context
        self.r = results
        self.sizes = sorted({k[4] for k, v in results.items() if "stopped" not in v and "skipped" not in v})

    def t(self, impl, op, ver, sync, n, field="real"):
        v = self.r.get((impl, op, ver, sync, n))
        return v.get(field) if v else None

    def hash_floor(self, ver, n):
        return self.t("floor", "hmac_sha1" if ver == "v4" else "md5", ver, "-", n)

    def open_floor_between(self, ver, n):
        """The open's floor as measured between its own runs (same drift on both sides)."""
        v = self.r.get(("vel", "open", ver, "-", n))
        return v["counters"].get("floor_us") if v and "counters" in v else None

    def floor(self, op, ver, n):
        """The floor of a read-side operation and what it is made of."""
        der = self.t("floor", "der_digests", ver, "-", n)
        h = self.hash_floor(ver, n)
        if op == "open":
            between = self.open_floor_between(ver, n)
            if between:
                return between
            return (h + der) if h is not None and der is not None else None
        if op in ("close_compact", "resize"):
            return h
        if op == "walk":
            return self.t("floor", "read", ver, "-", n)
        return None

    def vel_sync(self, op):
        return "off" if op in ("close_compact", "resize") else "-"

    def read_table(self):
        out = ["| operation | records | v3 | v3 ÷ floor | v4 | v4 ÷ floor | peer | v3 ÷ peer | v4 ÷ peer |",
               "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for op in OPS_READ:
            for n in self.sizes:
                sync = self.vel_sync(op)
                v3 = self.t("vel", op, "v3", sync, n)
                v4 = self.t("vel", op, "v4", sync, n)
                if v3 is None and v4 is None:
                    continue
                peer = self.t("peer", op, "-", "-", n)
                out.append("| %s | %d | %s | %s | %s | %s | %s | %s | %s |" % (
                    op, n, fmt_time(v3), fmt_ratio(v3, self.floor(op, "v3", n)),
                    fmt_time(v4), fmt_ratio(v4, self.floor(op, "v4", n)),
                    fmt_time(peer), fmt_ratio(v3, peer), fmt_ratio(v4, peer)))
        return out

    def change_table(self):
        small = self.sizes[0]
        out = ["| change | sync | records | v3 | v3 ÷ v3 at %d | v4 | v4 ÷ HMAC pass | peer | v3 ÷ peer | v4 ÷ peer |"
               % small,
               "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for op in OPS_CHANGE:
            for sync in SYNCS:
                for n in self.sizes:
                    v3 = self.t("vel", op, "v3", sync, n)
                    v4 = self.t("vel", op, "v4", sync, n)
                    if v3 is None and v4 is None:
                        continue
                    peer = self.t("peer", op, "-", sync, n)
                    out.append("| %s | %s | %d | %s | %s | %s | %s | %s | %s | %s |" % (
                        op, sync, n, fmt_time(v3), fmt_ratio(v3, self.t("vel", op, "v3", sync, small)),
                        fmt_time(v4), fmt_ratio(v4, self.hash_floor("v4", n)),
                        fmt_time(peer), fmt_ratio(v3, peer), fmt_ratio(v4, peer)))
        return out

    def floor_table(self):
        out = ["| records | file (v4) | MD5 pass (v3 file) | HMAC-SHA1 pass (v4 file) | read (v4 file) "
               "| DER walk + 5 SHA-1 per record |",
               "|---:|---:|---:|---:|---:|---:|"]
        for n in self.sizes:
            size = self.r.get(("vel", "open", "v4", "-", n), {}).get("counters", {}).get("file_bytes")
            out.append("| %d | %s | %s | %s | %s | %s |" % (
                n, "%.1f MB" % (size / 1e6) if size else "—",
                fmt_time(self.t("floor", "md5", "v3", "-", n)),
                fmt_time(self.t("floor", "hmac_sha1", "v4", "-", n)),
                fmt_time(self.t("floor", "read", "v4", "-", n)),
                fmt_time(self.t("floor", "der_digests", "v4", "-", n))))
        return out

    def heap(self, ver, n):
        v = self.r.get(("vel", "open", ver, "-", n))
        return v["counters"].get("heap_bytes") if v else None

    def targets(self):
        """(target, measured, met) rows."""
        rows = []
        big, small = self.sizes[-1], self.sizes[0]
        v4open = self.t("vel", "open", "v4", "-", big)
        floor = self.floor("open", "v4", big)
        if v4open and floor:
            ratio = v4open / floor
            rows_floor = self.t("floor", "hmac_sha1", "v4", "-", big) + self.t("floor", "der_digests", "v4", "-", big)
            cpu = self.t("vel", "open", "v4", "-", big, "cpu") / (
                self.t("floor", "hmac_sha1", "v4", "-", big, "cpu") + self.t("floor", "der_digests", "v4", "-", big, "cpu"))
            rows.append(("open, v4, %d records ≤ %.1f × (HMAC pass + DER walk and digests)" % (big, OPEN_TARGET),
                         "%.2f× (%s against %s, the floor run between the opens); against the floor rows "
                         "(%s, run seconds apart) %.2f×, CPU time %.2f×"
                         % (ratio, fmt_time(v4open), fmt_time(floor), fmt_time(rows_floor), v4open / rows_floor, cpu),
                         ratio <= OPEN_TARGET))
        hmac = self.hash_floor("v4", big)
        compact = self.t("vel", "close_compact", "v4", "off", big)
        if compact and hmac:
            ratio = compact / hmac
            rows.append(("close with compaction, v4, %d records, sync off ≤ %.0f × one HMAC pass" % (big, COMPACT_TARGET),
                         "%.2f× (%s against %s)" % (ratio, fmt_time(compact), fmt_time(hmac)),
                         ratio <= COMPACT_TARGET))
        for op in OPS_CHANGE:
            v = self.t("vel", op, "v4", "off", big)
            if v and hmac:
                ratio = v / hmac
                cpu = self.t("vel", op, "v4", "off", big, "cpu") / self.t("floor", "hmac_sha1", "v4", "-", big, "cpu")
                rows.append(("%s, v4, %d records, sync off ≤ 1.3 × one HMAC pass" % (op, big),
                             "%.2f× (%s against %s); CPU time %.2f×" % (ratio, fmt_time(v), fmt_time(hmac), cpu),
                             ratio <= 1.3))
        for op in OPS_CHANGE:
            for sync in ["off"]:
                a = self.t("vel", op, "v3", sync, big)
                b = self.t("vel", op, "v3", sync, small)
                if a and b:
                    ratio = a / b
                    cpu = self.t("vel", op, "v3", sync, big, "cpu") / self.t("vel", op, "v3", sync, small, "cpu")
                    rows.append(("%s, v3, sync %s: %d records ≤ 2 × %d records" % (op, sync, big, small),
                                 "%.2f× (%s against %s); CPU time %.2f×" % (ratio, fmt_time(a), fmt_time(b), cpu),
                                 ratio <= 2.0))
        for ver in ("v3", "v4"):
            for op in UNIQUE_LOOKUPS:
                real = self.t("vel", op, ver, "-", big)
                cpu = self.t("vel", op, ver, "-", big, "cpu")
                if real is not None:
                    rows.append(("%s, %s, %d records < 10 µs (wall clock)" % (op, ver, big),
                                 "%s wall, %s CPU" % (fmt_time(real), fmt_time(cpu)), real < 10.0))
        v4tx = self.t("vel", "tx_insert", "v4", "full", big)
        peertx = self.t("peer", "tx_insert", "-", "full", big)
        if v4tx is not None:
            label = ("%d inserts in one transaction, v4, sync full ≤ %.1f × SQLite (one transaction, "
                     "synchronous=FULL, journal_mode=DELETE)" % (big, TX_RATIO_TARGET))
            if peertx:
                ratio = v4tx / peertx
                cpu = self.t("vel", "tx_insert", "v4", "full", big, "cpu") / self.t(
                    "peer", "tx_insert", "-", "full", big, "cpu")
                rows.append((label, "%.2f× (%s against %s); CPU time %.2f×" % (
                    ratio, fmt_time(v4tx), fmt_time(peertx), cpu), ratio <= TX_RATIO_TARGET))
            else:
                rows.append((label, "%s; no SQLite figure (the benchmark was built without SQLite)"
                             % fmt_time(v4tx), False))
        for ver in ("v3", "v4"):
            imp = self.r.get(("tool", "import", ver, "full", big))
            if imp is None:
                continue
            label = "`velkdb import` of %d certificates, %s, sync full ≤ %.0f s" % (big, ver, IMPORT_TARGET_S)
            if "stopped" in imp:
                rows.append((label, "did not finish: %s" % imp["stopped"], False))
            else:
                cpu = imp["counters"].get("child_cpu_s")
                rows.append((label, "%.2f s (%s per certificate)%s" % (
                    imp["real"] / 1e6, fmt_time(imp["real"] / big),
                    "; the process's CPU time %.2f s" % cpu if cpu else ""), imp["real"] <= IMPORT_TARGET_S * 1e6))
        imp4 = self.t("tool", "import", "v4", "full", big)
        p12 = self.t("peer", "pkcs12_export", "-", "-", big)
        if imp4 is not None and p12:
            ratio = imp4 / p12
            rows.append(("`velkdb import` of %d certificates, v4, sync full ≤ %.1f × `openssl pkcs12 -export` of "
                         "the same bundle" % (big, IMPORT_PEER_TARGET),
                         "%.2f× (%s against %s)" % (ratio, fmt_time(imp4), fmt_time(p12)),
                         ratio <= IMPORT_PEER_TARGET))
        lst = self.t("tool", "list", "v4", "-", big)
        if lst is not None:
            cpu = self.r[("tool", "list", "v4", "-", big)]["counters"].get("child_cpu_s")
            rows.append(("`velkdb list` of %d certificates, v4 ≤ %.1f s" % (big, LIST_TARGET_S),
                         "%.2f s%s" % (lst / 1e6, "; the process's CPU time %.2f s" % cpu if cpu else ""),
                         lst <= LIST_TARGET_S * 1e6))
        for ver in ("v3", "v4"):
            hb, hs = self.heap(ver, big), self.heap(ver, small)
            if hb is not None and hs is not None and big > small:
                slope = (hb - hs) / (big - small)
                rows.append(("index memory, %s < 1 KB per record" % ver,
                             "%.0f B per record (heap growth from %d to %d records; %.0f B per record "
                             "including the fixed buffers at %d)" % (slope, small, big, hb / big, big),
                             slope < 1024))
        return rows

    def has_peer(self):
        return not str(self.ctx.get("sqlite", "")).startswith("not built")

    def bulk_runs(self):
        runs = []
        for n in self.sizes:
            v = self.r.get(("vel", "tx_insert", "v4", "full", n))
            if v:
                runs.append("%d at %d records" % (v["iterations"], n))
        return ", ".join(runs) or "none"

    def bulk_table(self):
        out = ["| sync | records | v3 | v3 per record | v4 | v4 per record | peer | peer per record "
               "| v3 ÷ peer | v4 ÷ peer | v3 ÷ peer, CPU time | v4 ÷ peer, CPU time |",
               "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for sync in SYNCS:
            for n in self.sizes:
                v3 = self.t("vel", "tx_insert", "v3", sync, n)
                v4 = self.t("vel", "tx_insert", "v4", sync, n)
                peer = self.t("peer", "tx_insert", "-", sync, n)
                if v3 is None and v4 is None and peer is None:
                    continue
                per = lambda x: None if x is None else x / n
                cpu = lambda impl, ver: self.t(impl, "tx_insert", ver, sync, n, "cpu")
                out.append("| %s | %d | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                    sync, n, fmt_time(v3), fmt_time(per(v3)), fmt_time(v4), fmt_time(per(v4)),
                    fmt_time(peer), fmt_time(per(peer)), fmt_ratio(v3, peer), fmt_ratio(v4, peer),
                    fmt_ratio(cpu("vel", "v3"), cpu("peer", "-")), fmt_ratio(cpu("vel", "v4"), cpu("peer", "-"))))
        return out

    def import_table(self):
        out = ["| version | certificates | wall clock | per certificate | the process's CPU time |",
               "|---|---:|---:|---:|---:|"]
        rows = 0
        for ver in ("v3", "v4"):
            for n in self.sizes:
                imp = self.r.get(("tool", "import", ver, "full", n))
                if imp is None:
                    continue
                rows += 1
                if "stopped" in imp:
                    out.append("| %s | %d | did not finish (%s) | — | — |" % (ver, n, imp["stopped"]))
                else:
                    cpu = imp["counters"].get("child_cpu_s")
                    out.append("| %s | %d | %.2f s | %s | %s |" % (ver, n, imp["real"] / 1e6, fmt_time(imp["real"] / n),
                                                               "%.2f s" % cpu if cpu else "—"))
        return out if rows else []

    def store_table(self):
        """velkdb import and list beside the other programs that build a store of the same bundle."""
        big = max(self.sizes) if self.sizes else None
        if big is None or self.t("tool", "import", "v4", "full", big) is None:
            return [], []
        p12 = self.t("peer", "pkcs12_export", "-", "-", big)
        p12cpu = (self.r.get(("peer", "pkcs12_export", "-", "-", big)) or {}).get("counters", {}).get("child_cpu_s")
        out = ["| task | wall clock | ÷ `openssl pkcs12 -export` | the process's CPU time | CPU time ÷ openssl's |",
               "|---|---:|---:|---:|---:|"]
        notes = []

        def row(name, key):
            v = self.r.get(key)
            if v is None:
                return
            if "skipped" in v:
                notes.append("%s: not measured (%s)." % (name, v["skipped"]))
                return
            if "real" not in v:
                return
            cpu = v["counters"].get("child_cpu_s")
            out.append("| %s | %.2f s | %s | %s | %s |" % (name, v["real"] / 1e6, fmt_ratio(v["real"], p12),
                                                            "%.2f s" % cpu if cpu else "—", fmt_ratio(cpu, p12cpu)))

        for ver in ("v3", "v4"):
            row("`velkdb import`, %s, sync full" % ver, ("tool", "import", ver, "full", big))
        for key, name in STORE_PEERS:
            row(name, ("peer", key, "-", "-", big))
        for ver in ("v3", "v4"):
            row("`velkdb list`, %s" % ver, ("tool", "list", ver, "-", big))
        return out, notes

    def plot_series(self, sync):
        """(label, colour, dashed, [(records, µs per record)]) for one sync mode."""
        series = []
        for impl, ver, colour, name in (("vel", "v3", "#1f77b4", "v3"), ("vel", "v4", "#d62728", "v4"),
                                        ("peer", "-", "#7f7f7f", "SQLite")):
            single = [(n, self.t(impl, "insert", ver, sync, n)) for n in self.sizes]
            bulk = [(n, self.t(impl, "tx_insert", ver, sync, n)) for n in self.sizes]
            bulk = [(n, None if v is None else v / n) for n, v in bulk]
            series.append(("%s, one insert per transaction" % name, colour, False,
                           [(n, v) for n, v in single if v]))
            series.append(("%s, per record of one transaction" % name, colour, True,
                           [(n, v) for n, v in bulk if v]))
        return [s for s in series if s[3]]

    def plot_svg(self):
        """Insert cost per record against table size, one panel per sync mode (log-log)."""
        panels = [(sync, self.plot_series(sync)) for sync in SYNCS]
        panels = [(sync, series) for sync, series in panels if series]
        values = [v for _, series in panels for s in series for _, v in s[3]]
        if not panels or not values:
            return None
        sizes = self.sizes
        ylo = 10 ** math.floor(math.log10(min(values)))
        yhi = 10 ** math.ceil(math.log10(max(values)))
        if yhi <= ylo:
            yhi = ylo * 10
        xlo, xhi = math.log10(sizes[0]), math.log10(sizes[-1])
        if xhi <= xlo:
            xlo, xhi = xlo - 0.5, xhi + 0.5
        pw, ph, left, top, gap = 250, 250, 80, 50, 40
        width = left + len(panels) * pw + (len(panels) - 1) * gap + 30
        legend_top = top + ph + 55
        height = legend_top + 3 * 20 + 20
        out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
               'font-family="sans-serif" font-size="12">' % (width, height, width, height),
               '<rect width="100%" height="100%" fill="white"/>',
               '<text x="%d" y="20" font-size="14" font-weight="bold">Insert cost per record against table size '
               '(log-log; lower is better)</text>' % left]

        def ypos(v):
            return top + ph * (math.log10(yhi) - math.log10(v)) / (math.log10(yhi) - math.log10(ylo))

        for i, (sync, series) in enumerate(panels):
            x0 = left + i * (pw + gap)

            def xpos(n, x0=x0):
                return x0 + 10 + (pw - 20) * (math.log10(n) - xlo) / (xhi - xlo)

            out.append('<rect x="%d" y="%d" width="%d" height="%d" fill="none" stroke="#333"/>' % (x0, top, pw, ph))
            out.append('<text x="%.1f" y="%d" text-anchor="middle" font-weight="bold">sync %s</text>'
                       % (x0 + pw / 2, top - 8, sync))
            decade = ylo
            while decade <= yhi * 1.0001:
                y = ypos(decade)
                out.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#ddd"/>' % (x0, y, x0 + pw, y))
                if i == 0:
                    out.append('<text x="%d" y="%.1f" text-anchor="end" dominant-baseline="middle">%s</text>'
                               % (x0 - 6, y, escape(fmt_decade(decade))))
                decade *= 10
            for n in sizes:
                x = xpos(n)
                out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#ddd"/>' % (x, top, x, top + ph))
                out.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>' % (x, top + ph + 16, "{:,}".format(n)))
            out.append('<text x="%.1f" y="%d" text-anchor="middle">records in the table</text>'
                       % (x0 + pw / 2, top + ph + 34))
            for label, colour, dashed, points in series:
                coords = " ".join("%.1f,%.1f" % (xpos(n), ypos(v)) for n, v in points)
                out.append('<polyline points="%s" fill="none" stroke="%s" stroke-width="2"%s/>'
                           % (coords, colour, ' stroke-dasharray="6,4"' if dashed else ""))
                for n, v in points:
                    out.append('<circle cx="%.1f" cy="%.1f" r="3" fill="%s"><title>%s: %s at %d records</title>'
                               '</circle>' % (xpos(n), ypos(v), "white" if dashed else colour, escape(label),
                                              escape(fmt_time(v)), n))
                    if dashed:
                        out[-1] = out[-1].replace('r="3"', 'r="3" stroke="%s" stroke-width="1.5"' % colour)
        out.append('<text x="%d" y="%.1f" text-anchor="middle" transform="rotate(-90 %d %.1f)">time per record'
                   '</text>' % (14, top + ph / 2, 14, top + ph / 2))
        # Legend: one row per implementation, solid and dashed side by side.
        legend = panels[0][1]
        for k, (label, colour, dashed, _) in enumerate(legend):
            row, col = k // 2, k % 2
            x = left + col * 330
            y = legend_top + row * 20
            out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="%s" stroke-width="2"%s/>'
                       % (x, y, x + 30, y, colour, ' stroke-dasharray="6,4"' if dashed else ""))
            out.append('<text x="%d" y="%d" dominant-baseline="middle">%s</text>' % (x + 38, y, escape(label)))
        out.append("</svg>")
        return "\n".join(out) + "\n"

    def machine(self):
        c = self.ctx
        keys = [("date", "date"), ("cpu_model", "CPU"), ("num_cpus", "cores"), ("mhz_per_cpu", "MHz"),
                ("memory", "memory"), ("kernel", "kernel"), ("scratch_filesystem", "scratch file system"),
                ("compiler", "compiler"), ("openssl", "OpenSSL"), ("sqlite", "SQLite"),
                ("library_build_type", "build type the Google Benchmark package reports (the harness only)")]
        out = []
        for key, label in keys:
            if key in c:
                out.append("- %s: %s" % (label, str(c[key]).strip()))
        if c.get("caches"):
            caches = ", ".join("L%d %s %d KiB" % (x["level"], x["type"].lower(), x["size"] // 1024)
                               for x in c["caches"])
            out.append("- caches: %s" % caches)
        if "load_avg" in c:
            out.append("- load average at the start: %s" % ", ".join("%.2f" % x for x in c["load_avg"]))
        out.append("- corpus: %s records, %s of them CA-bundle certificates, average certificate %s bytes, "
                   "record length %s bytes" % (c.get("corpus_records", "?"), c.get("corpus_ca_certificates", "?"),
                                               c.get("corpus_average_certificate_bytes", "?"),
                                               c.get("record_length", "?")))
        return out


def main():
    if len(sys.argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    context, results, errors = load(sys.argv[1])
    rep = Report(context, results)
    svg = rep.plot_svg()
    if svg is not None:
        with open(os.path.join(os.path.dirname(os.path.abspath(sys.argv[2])), PLOT_NAME), "w") as f:
            f.write(svg)
    targets = rep.targets()
    lines = ["# Benchmarks", "",
             "Made by `make bench` (`bench/velfiledb_bench`, Google Benchmark, Release build); regenerate "
             "rather than edit.  Wall-clock time per operation.  The key table (`FileDBKeyStorage`, with the "
             "instance mutex taken as the manager takes it) is measured against the floor its file format "
             "forces, computed with OpenSSL alone in the same run, and against a peer: SQLite in WAL mode, one "
             "transaction per change, holding the same records with the same unique and multi indexes and "
             "handing each record back decoded, as the table does.  The bulk figures (one transaction of many "
             "inserts, and the `velkdb` import) go through `FileDBManager` and its transactions; there the "
             "peer keeps a rollback journal (`journal_mode=DELETE`) as the key table does.", ""]
    if not rep.has_peer():
        lines += ["**This run was built without SQLite** (no SQLite development files): every peer figure "
                  "and every ratio to the peer is missing.  `scripts/setup.sh` installs them.", ""]
    lines += [
             "## Machine", ""] + rep.machine() + [
             "",
             "## Targets", "",
             "| target | measured | met |", "|---|---|---|"]
    for name, measured, met in targets:
        lines.append("| %s | %s | %s |" % (name, measured, "yes" if met else "**no**"))
    lines += ["",
              "Ratios to a floor compare two figures measured seconds apart in the same run; on a shared "
              "machine whose load drifts they carry about ±20 %, and wall-clock figures include waiting for a "
              "core when the load average exceeds the two cores (CPU-time ratios are given beside them).  The version-3 size targets are judged with "
              "sync off, where the file format's work is what is compared: with sync on, a change's cost is "
              "the device's fsync latency, which drifted between 1 and 20 ms during the run whatever the table "
              "size (see the table of changes).", "",
              "## Open, close and lookups", "",
              "Floors: open = one pass of the file's hash over the file read in 1 MiB blocks (MD5 for "
              "version 3, HMAC-SHA1 for version 4) plus a DER walk and the five SHA-1 digests of every record, "
              "run once between every two opens with the clock stopped, so that the machine's drift weighs on "
              "both sides alike (the floor rows below run the same work seconds apart); close with compaction and resize = one hash pass; walk = reading the file.  Compaction and "
              "resize run with sync off.  The peer opens lazily (schema only) and keeps no file-wide hash.", ""]
    lines += rep.read_table()
    lines += ["", "## Changes", "",
              "One insert, update or delete at the given table size, under each durability mode "
              "(`VELFILEDB_SYNC` off, normal, full; the peer with `synchronous` OFF, NORMAL, FULL).  A version-4 "
              "change re-computes the HMAC over the whole file once; a version-3 change updates its incremental "
              "hash and should not depend on the size.", ""]
    lines += rep.change_table()
    lines += ["", "## Many inserts in one transaction", "",
              "A new, empty database filled with the first *records* records of the corpus in one "
              "transaction (`FileDBManager::beginTransaction`, the inserts, `commitTransaction`); the "
              "figure is the whole transaction, commit included, and *per record* divides it by the "
              "records.  The peer does the same in one `BEGIN` ... `COMMIT` with `journal_mode=DELETE` and "
              "`synchronous` OFF, NORMAL or FULL, and computes the five SHA-1 digests per record as the key "
              "table does.  Each figure is the mean of a fixed number of runs (%s)." % rep.bulk_runs(), ""]
    lines += rep.bulk_table()
    imports = rep.import_table()
    if imports:
        lines += ["", "## `velkdb import`", "",
                  "The `velkdb` binary of the same build, run as a child process with `VELFILEDB_SYNC=full` "
                  "and `--password-file`, importing a PEM bundle of the corpus's certificates into a database "
                  "just made by `velkdb create --version 3|4`: process start to exit, PEM parsing, the "
                  "duplicate and label checks and the inserts included (mean of 2 runs).", ""] + imports
    stores, notes = rep.store_table()
    if stores:
        lines += ["", "## Against other stores", "",
                  "The same PEM bundle (%s certificates, no private keys) made into a password-protected store "
                  "by other programs, each run as a child process beside the import (mean of 2 runs): "
                  "`openssl pkcs12 -export -nokeys -passout file:...` writes a PKCS#12 file of the certificates "
                  "with OpenSSL's defaults (the certificates encrypted with PBES2 and AES-256-CBC, the file MACed "
                  "with HMAC-SHA256, 2048 iterations each); the Java program (`bench/KeyStoreBuild.java`) reads "
                  "the bundle with `CertificateFactory` and stores each certificate as a trusted-certificate "
                  "entry of a PKCS12 `KeyStore`, JVM start included.  `velkdb list` prints every record of the "
                  "imported database (text, to a file; mean of 5 runs)." % max(rep.sizes), ""] + stores
        if notes:
            lines += [""] + notes
    if svg is not None:
        lines += ["", "## Insert cost against table size", "",
                  "Solid: one insert, its own transaction, into a table of *records* records (the table of "
                  "changes above; the peer in WAL mode).  Dashed: the cost per record of filling an empty "
                  "table with *records* records in one transaction (the table of transactions above).  A "
                  "version-4 change re-computes the HMAC over the whole file, so one insert per "
                  "transaction grows with the table, while one transaction pays that pass once.", "",
                  "![Insert cost per record against table size](%s)" % PLOT_NAME]
    lines += ["", "## Floors", ""] + rep.floor_table()
    if errors:
        lines += ["", "## Benchmarks that reported an error", ""] + ["- " + e for e in errors]
    lines.append("")
    with open(sys.argv[2], "w") as f:
        f.write("\n".join(lines))
    for name, measured, met in targets:
        print("%-4s %s: %s" % ("ok" if met else "MISS", name, measured))
    return 0


if __name__ == "__main__":
    sys.exit(main())
