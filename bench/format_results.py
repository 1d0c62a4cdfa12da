#!/usr/bin/env python3
"""Turns the benchmark's JSON output into Markdown tables.

Usage: format_results.py RESULTS.json [BASELINE.json]
       format_results.py --compact RESULTS.json > BASELINE.json

Reads the medians when the run had repetitions (single runs otherwise) and
prints throughput, our ratio to each peer, memory per element, the scale
checks and the lookups, then the targets we hold ourselves to.

With a baseline (the second argument, or the file named by
ZUVDOM_BENCH_BASELINE), the build-cost, parser and memory tables show the
baseline's figures next to this run's. --compact keeps only the medians and
the fields these tables read, small enough to commit as a baseline.
"""
import json
import re
import sys

import os

OURS = "ZUVDOM"
PARSER = "ZUVSAX2"  # our parser alone, callbacks that do nothing
FLOOR = "CopyFloor"  # copies without indexes: the least a tree of copies costs
LIBRARIES = [OURS, PARSER, "Expat", "tinyxml2", "libxml2", "pugixml"]
PEERS = LIBRARIES[1:]
WORKLOADS = [
    ("ParseString", "Parse and build from a string"),
    ("ParseFile", "Parse and build from a file"),
    ("NavigatePosition", "Navigate the whole tree by position"),
    ("NavigateName", "Navigate the whole tree by name (each child looked up by its name)"),
    ("Write", "Write the tree to a file"),
    ("WriteString", "Write the tree into a std::string"),
    ("Destroy", "Free the tree"),
    ("FirstParse", "Parse and build from a string once, in a fresh process"),
    ("StateFreed", "Parse and build, every tree freed before the next parse"),
    ("StateKept", "Parse and build, one earlier tree kept alive"),
    ("StateThreads", "Parse and build on two threads at once"),
]


def load(path):
    with open(path) as f:
        data = json.load(f)
    results = {}  # (workload, library, document) -> entry
    errors = {}
    for entry in data["benchmarks"]:
        run = re.sub(r"(/iterations:\d+)?(/manual_time)?$", "", entry.get("run_name", entry["name"]))
        parts = run.split("/")
        if len(parts) != 3:
            continue
        key = tuple(parts)
        if entry.get("error_occurred"):
            errors[key] = entry.get("error_message", "error")
            continue
        aggregate = entry.get("aggregate_name")
        if entry.get("run_type") == "aggregate" and aggregate != "median":
            continue
        if aggregate == "median" or key not in results:
            results[key] = entry
    return data.get("context", {}), results, errors


def mbps(entry):
    return entry["bytes_per_second"] / 1e6 if entry and "bytes_per_second" in entry else None


def ns_per_element(entry):
    rate = entry.get("items_per_second") if entry else None
    return 1e9 / rate if rate else None


def fmt(value, digits=1):
    if value is None:
        return "–"
    if value >= 1000:
        return f"{value:,.0f}"
    return f"{value:.{digits}f}"


def ratio(ours, peer):
    if ours is None or peer is None or peer == 0:
        return "–"
    return f"{ours / peer:.2f}×"


def ordered_documents(results, workload):
    seen = []
    for (w, _, d) in results:
        if w == workload and d not in seen:
            seen.append(d)
    return seen


def present_libraries(results):
    return [lib for lib in LIBRARIES if any(k[1] == lib for k in results)]


def cell(results, errors, key, value):
    if key in errors:
        return "refused" if "refused" in errors[key] else "error"
    return fmt(value(results.get(key)))


KEPT_FIELDS = ("name", "run_name", "run_type", "aggregate_name", "error_occurred",
               "error_message", "bytes_per_second", "items_per_second", "elements",
               "doc_bytes", "tree_bytes", "bytes_per_element", "output_bytes",
               "parser_kept_bytes")


def compact(path):
    with open(path) as f:
        data = json.load(f)
    kept = []
    for entry in data["benchmarks"]:
        if entry.get("run_type") == "aggregate" and entry.get("aggregate_name") != "median":
            continue
        kept.append({k: v for k, v in entry.items() if k in KEPT_FIELDS})
    context = {k: v for k, v in data.get("context", {}).items()
               if k in ("date", "host_name", "num_cpus", "mhz_per_cpu", "expat", "tinyxml2",
                        "libxml2", "pugixml")}
    json.dump({"context": context, "benchmarks": kept}, sys.stdout, indent=0)
    print()


def build_ns(results, d, workload="ParseString", library=OURS):
    """Parse+build minus our parser alone, in ns per element."""
    full = ns_per_element(results.get((workload, library, d)))
    alone = ns_per_element(results.get((workload, PARSER, d)))
    if full is None or alone is None:
        return None
    return full - alone


def pair(now, before, digits=1):
    """This run's figure, with the baseline's before it when there is one."""
    if before is None:
        return fmt(now, digits)
    return f"{fmt(before, digits)} → {fmt(now, digits)}"


def change(now, before):
    if now is None or before is None or before == 0:
        return "–"
    return f"{now / before:.2f}×"


def print_build_cost(results, baseline, workload="ParseString"):
    documents = [d for d in ordered_documents(results, workload)
                 if ((workload, PARSER, d) in results)]
    if not documents:
        return
    first = workload == "FirstParse"
    print("### Build cost" + (" of a first parse in a fresh process" if first else "")
          + ": parse+build minus our parser alone (ns per element)")
    print()
    print("Our parser alone runs with callbacks that do nothing; what is left is the tree: "
          "elements, strings, attribute tables and child indexes."
          + (" Every page of the tree is new to the process, as for a program that reads "
             "one document." if first else " Memory of earlier iterations is reused.")
          + (" Baseline → this run; change is new over baseline." if baseline else "")
          + " The copy floor is a tree that copies each element's name, text and "
            "attributes and lists its children, with no name index: the least a tree "
            "of copies costs on the same parser and pool.")
    print()
    header = ["document", "elements", "parse+build ns/elem", "parser alone ns/elem",
              "build ns/elem", "copy floor ns/elem", "floor / build"] + (
                  ["change"] if baseline else [])
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for d in documents:
        full = ns_per_element(results.get((workload, OURS, d)))
        alone = ns_per_element(results.get((workload, PARSER, d)))
        build = build_ns(results, d, workload)
        entry = results.get((workload, OURS, d)) or {}
        if baseline:
            bfull = ns_per_element(baseline.get((workload, OURS, d)))
            balone = ns_per_element(baseline.get((workload, PARSER, d)))
            bbuild = build_ns(baseline, d, workload)
        else:
            bfull = balone = bbuild = None
        floor = build_ns(results, d, workload, FLOOR)
        row = [d, fmt(entry.get("elements"), 0), pair(full, bfull), pair(alone, balone),
               pair(build, bbuild), fmt(floor), change(floor, build)] + (
                   [change(build, bbuild)] if baseline else [])
        print("| " + " | ".join(row) + " |")
    print()


def parser_ratio(results, d):
    ours = ns_per_element(results.get(("ParseString", PARSER, d)))
    expat = ns_per_element(results.get(("ParseString", "Expat", d)))
    return ours / expat if ours and expat else None


def print_parser(results, baseline):
    documents = [d for d in ordered_documents(results, "ParseString")
                 if ("ParseString", PARSER, d) in results]
    if not documents:
        return
    print("### Our parser alone against Expat, both with callbacks that do nothing (time ratio)")
    print()
    header = ["document", "ours ns/elem", "Expat ns/elem", "ours / Expat time"]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for d in documents:
        row = [d]
        for lib in (PARSER, "Expat"):
            now = ns_per_element(results.get(("ParseString", lib, d)))
            before = ns_per_element(baseline.get(("ParseString", lib, d))) if baseline else None
            row.append(pair(now, before))
        now = parser_ratio(results, d)
        before = parser_ratio(baseline, d) if baseline else None
        row.append(pair(now, before, 2))
        print("| " + " | ".join(row) + " |")
    print()


def print_memory_compared(results, baseline):
    documents = ordered_documents(results, "ParseString")
    peers = [p for p in ("tinyxml2", "pugixml")
             if any(("ParseString", p, d) in results for d in documents)]
    print("### Bytes per element against tinyxml2 and pugixml")
    print()
    header = ["document", "ours bytes/elem"] + [f"{p} bytes/elem" for p in peers] + \
        [f"ours / {p}" for p in peers]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for d in documents:
        ours = bytes_per_element(results.get(("ParseString", OURS, d)))
        if ours is None:
            continue
        before = bytes_per_element(baseline.get(("ParseString", OURS, d))) if baseline else None
        row = [d, pair(ours, before, 0)]
        row += [fmt(bytes_per_element(results.get(("ParseString", p, d))), 0) for p in peers]
        row += [ratio(ours, bytes_per_element(results.get(("ParseString", p, d))))
                for p in peers]
        print("| " + " | ".join(row) + " |")
    print()


def print_write_compared(results, baseline):
    documents = ordered_documents(results, "Write")
    if not documents:
        return
    print("### Write speed against pugixml's save_file (ours / pugixml)")
    print()
    print("| document | ours MB/s | ours / pugixml |")
    print("|---|---|---|")
    for d in documents:
        def r(res):
            ours = mbps(res.get(("Write", OURS, d)))
            peer = mbps(res.get(("Write", "pugixml", d)))
            return ours / peer if ours and peer else None
        ours = mbps(results.get(("Write", OURS, d)))
        bours = mbps(baseline.get(("Write", OURS, d))) if baseline else None
        print(f"| {d} | {pair(ours, bours)} | "
              f"{pair(r(results), r(baseline) if baseline else None, 2)} |")
    print()


def print_context(context):
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    print(f"Machine: {context.get('host_name', '?')}, {cpu}, "
          f"{context.get('num_cpus', '?')} CPUs at {context.get('mhz_per_cpu', '?')} MHz; "
          f"run {context.get('date', '?')}.")
    versions = [f"{lib} {context[lib]}" for lib in ("expat", "tinyxml2", "libxml2", "pugixml")
                if lib in context]
    print("Peers: " + ", ".join(versions) + " (Debian packages).")
    print("Figures are medians of the repetitions in one process; times are the CPU time of "
          "the benchmark thread around the measured work alone. MB/s is megabytes (10^6) of "
          "the input document per second, for every workload.")
    print()


def print_workload(results, errors, workload, title, libraries):
    documents = ordered_documents(results, workload)
    if not documents:
        return
    libs = [lib for lib in libraries
            if any((workload, lib, d) in results or (workload, lib, d) in errors
                   for d in documents)]
    peers = [lib for lib in libs if lib != OURS]
    print(f"### {title} (MB/s)")
    print()
    header = ["document", "elements"] + libs + [f"ours / {p}" for p in peers]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for d in documents:
        any_entry = next((results[k] for k in results if k[0] == workload and k[2] == d), {})
        row = [d, fmt(any_entry.get("elements"), 0)]
        row += [cell(results, errors, (workload, lib, d), mbps) for lib in libs]
        ours = mbps(results.get((workload, OURS, d)))
        row += [ratio(ours, mbps(results.get((workload, p, d)))) for p in peers]
        print("| " + " | ".join(row) + " |")
    print()


def bytes_per_element(entry):
    return entry.get("bytes_per_element") if entry else None


def print_memory(results, errors, libraries):
    documents = ordered_documents(results, "ParseString")
    libs = [lib for lib in libraries if lib not in ("Expat", PARSER)]
    peers = [lib for lib in libs if lib != OURS]
    print("### Memory held by the living tree (bytes per element)")
    print()
    print("Heap in use (mallinfo2: uordblks + hblkhd, chunk headers included, plus our pool's "
          "blocks in use) after the first parse into a fresh tree object, minus before it, "
          "less, for us, what stays in use once the tree is freed (Expat's copy of the string, kept by our parser until its next parse); the "
          "copy of the input that tinyxml2 and pugixml parse in place is part of it. Tree MB "
          "is ours.")
    print()
    header = ["document", "ours tree MB"] + libs + [f"ours / {p}" for p in peers]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for d in documents:
        ours = results.get(("ParseString", OURS, d))
        row = [d, fmt(ours["tree_bytes"] / 1e6 if ours else None)]
        row += [cell(results, errors, ("ParseString", lib, d), bytes_per_element) for lib in libs]
        ours_bpe = bytes_per_element(ours)
        row += [ratio(ours_bpe, bytes_per_element(results.get(("ParseString", p, d))))
                for p in peers]
        print("| " + " | ".join(row) + " |")
    print()


def print_scale(results):
    records = sorted((d for d in ordered_documents(results, "ParseString")
                      if d.startswith("records-")),
                     key=lambda d: float(re.sub(r"[^0-9.]", "", d)))
    shapes = [d for d in ordered_documents(results, "ParseString")
              if d.split("-")[0] in ("wide", "balanced", "deep")]
    print("### Scale: our cost per element")
    print()
    print("| document | elements | parse ns/elem | Expat ns/elem | ours / Expat time | "
          "free ns/elem | bytes/elem |")
    print("|---|---|---|---|---|---|---|")
    for d in records + shapes:
        parse = results.get(("ParseString", OURS, d))
        expat = results.get(("ParseString", "Expat", d))
        free = results.get(("Destroy", OURS, d))
        ours_ns, expat_ns = ns_per_element(parse), ns_per_element(expat)
        row = [d, fmt(parse.get("elements") if parse else None, 0), fmt(ours_ns), fmt(expat_ns),
               ratio(ours_ns, expat_ns), fmt(ns_per_element(free)),
               fmt(bytes_per_element(parse))]
        print("| " + " | ".join(row) + " |")
    print()


def print_lookups(results):
    lookups = {k: v for k, v in results.items() if k[0] == "Lookup"}
    if not lookups:
        return
    print("### Lookups by name against the number of siblings (ns per lookup)")
    print()
    sizes = sorted({int(k[2].split("-")[1]) for k in lookups})
    rows = []
    for lib, kind, label in ((OURS, "distinct", "ours getFirstElement(name), names all distinct"),
                             (OURS, "same", "ours getElement(name, i), names all the same"),
                             ("pugixml", "distinct", "pugixml child(name), names all distinct")):
        cells = [fmt(ns_per_element(lookups.get(("Lookup", lib, f"{kind}-{n}")))) for n in sizes]
        if any(c != "–" for c in cells):
            rows.append([label] + cells)
    print("| lookup | " + " | ".join(f"{n:,} children" for n in sizes) + " |")
    print("|---|" + "---|" * len(sizes))
    for row in rows:
        print("| " + " | ".join(row) + " |")
    print()


def print_targets(results):
    print("### Targets")
    print()
    print("| target | document | measured | met |")
    print("|---|---|---|---|")

    def check(label, document, value, goal, higher_is_better=True):
        if value is None:
            return
        met = value >= goal if higher_is_better else value < goal
        print(f"| {label} | {document} | {value:.2f}× | {'yes' if met else 'no'} |")

    documents = [d for d in ordered_documents(results, "ParseString")
                 if not d.split("-")[0] in ("wide", "balanced", "deep")]
    for d in documents:
        ours = mbps(results.get(("ParseString", OURS, d)))
        if ours is None:
            continue
        for peer, goal in (("Expat", 0.7), ("tinyxml2", 1.3), ("libxml2", 2.0)):
            peer_mbps = mbps(results.get(("ParseString", peer, d)))
            if peer_mbps:
                check(f"parse+build ≥ {goal}× {peer}", d, ours / peer_mbps, goal)
        ours_bpe = bytes_per_element(results.get(("ParseString", OURS, d)))
        for peer in ("tinyxml2", "libxml2"):
            peer_bpe = bytes_per_element(results.get(("ParseString", peer, d)))
            if ours_bpe and peer_bpe:
                check(f"bytes/element < {peer}", d, ours_bpe / peer_bpe, 1.0, False)
    for workload in ("StateFreed", "StateKept", "StateThreads"):
        for d in ordered_documents(results, workload):
            ours = mbps(results.get((workload, OURS, d)))
            for peer, goal in (("pugixml", 0.5), ("tinyxml2", 2.0)):
                peer_mbps = mbps(results.get((workload, peer, d)))
                if ours and peer_mbps:
                    check(f"{workload[5:].lower()}: parse+build ≥ {goal}× {peer}", d,
                          ours / peer_mbps, goal)
    for d in ordered_documents(results, "Write"):
        ours = mbps(results.get(("Write", OURS, d)))
        peer = mbps(results.get(("Write", "tinyxml2", d)))
        if ours and peer:
            check("write ≥ 1.3× tinyxml2", d, ours / peer, 1.3)
    for d in ordered_documents(results, "WriteString"):
        ours = mbps(results.get(("WriteString", OURS, d)))
        for peer in ("pugixml", "tinyxml2"):
            peer_mbps = mbps(results.get(("WriteString", peer, d)))
            if ours and peer_mbps:
                check(f"write to a string ≥ {peer}", d, ours / peer_mbps, 1.0)
    records = sorted((d for d in ordered_documents(results, "ParseString")
                      if d.startswith("records-")),
                     key=lambda d: float(re.sub(r"[^0-9.]", "", d)))
    if len(records) >= 2:
        small = ns_per_element(results.get(("ParseString", OURS, records[0])))
        big = ns_per_element(results.get(("ParseString", OURS, records[-1])))
        if small and big:
            check(f"linear: ns/elem {records[-1]} over {records[0]} ≤ 1.25", "records",
                  big / small, 1.25, False)
    print()


def main():
    args = sys.argv[1:]
    if len(args) == 2 and args[0] == "--compact":
        return compact(args[1])
    if len(args) not in (1, 2):
        sys.exit(__doc__)
    context, results, errors = load(args[0])
    baseline_path = args[1] if len(args) == 2 else os.environ.get("ZUVDOM_BENCH_BASELINE")
    baseline = load(baseline_path)[1] if baseline_path else None
    libraries = present_libraries(results)
    print("## ZUVDOM benchmark")
    print()
    print_context(context)
    for workload, title in WORKLOADS:
        print_workload(results, errors, workload, title, libraries)
    print_build_cost(results, baseline)
    print_build_cost(results, baseline, "FirstParse")
    print_parser(results, baseline)
    print_memory_compared(results, baseline)
    print_write_compared(results, baseline)
    print_memory(results, errors, libraries)
    print_scale(results)
    print_lookups(results)
    print_targets(results)


if __name__ == "__main__":
    main()
