"""Turns the raw results into the figures, the table and the chart."""

GB = 1e9
GIB = 1 << 30
MIB = 1 << 20


def _rate(nbytes, seconds):
    return nbytes / seconds / GB


def figures(r):
    """Rows of (scenario, measure, tarnwick, reference name, reference, ratio,
    target) as dicts; target is ("<=" or ">=", value) or None."""
    limits = r["limits"]
    compress_gbs = _rate(limits["bytes"], limits["compress_s"])
    decompress_gbs = _rate(limits["bytes"], limits["decompress_s"])
    rows = []

    def row(scenario, measure, ours, reference, theirs, unit, target=None, ratio=None):
        rows.append({
            "scenario": scenario, "measure": measure, "unit": unit,
            "tarnwick": ours, "reference": reference, "reference_value": theirs,
            "ratio": ratio if ratio is not None else (ours / theirs if theirs else None),
            "target": target,
        })

    stall = r["stall"]
    row("a stall", "save_tensors blocks (median of 10)", stall["stall_median_s"],
        "torch.save", stall["torch_save_median_s"], "s", ("<=", 0.25))
    row("a stall", "save_tensors blocks (median of 10)", stall["stall_median_s"],
        "2-thread memcpy", limits["memcpy_s"], "s")

    throughput = r["throughput"]
    raw = throughput["raw_bytes"]
    save_gbs = _rate(raw, throughput["save_median_s"])
    row("b throughput", "full save end to end", save_gbs, "zstd limit", compress_gbs, "GB/s",
        (">=", 0.8))
    # The faster of a buffered and a direct write: whichever this disk prefers.
    write_s = min(limits["write_fsync_s"], limits.get("direct_write_fsync_s", limits["write_fsync_s"]))
    row("b throughput", "full save end to end", save_gbs, "write+fsync limit",
        _rate(raw, write_s), "GB/s")
    row("b throughput", "full save end to end", save_gbs, "compress or write, slower",
        _rate(raw, max(limits["compress_s"], write_s)), "GB/s")
    row("b throughput", "full save end to end", save_gbs, "torch.save+fsync",
        _rate(raw, throughput["torch_save_fsync_median_s"]), "GB/s")
    row("b throughput", "full save, keep_base_in_memory off",
        _rate(raw, throughput["keep_off_save_median_s"]), "zstd limit", compress_gbs, "GB/s")
    row("b throughput", "first full save of the process", _rate(raw, throughput["first_save_s"]),
        "zstd limit", compress_gbs, "GB/s")

    for key, label, target in (("size_all", "every tensor changes", 0.7),
                               ("size_tenth", "10% of tensors change", 0.4)):
        size = r[key]
        row("c size", f"bytes written, 20 saves, {label}", size["written_bytes"] / MIB,
            "torch.save x20", size["torch_written_bytes"] / MIB, "MiB", ("<=", target))
        row("c size", f"bytes on disk, 20 saves, {label}", size["on_disk_bytes"] / MIB,
            "torch.save x20", size["torch_on_disk_bytes"] / MIB, "MiB")

    for key, label in (("load_full", "full snapshot"), ("load_delta", "delta snapshot")):
        load = r[key]
        cache = "cold" if load["cold"] else "warm"
        ours = _rate(load["raw_bytes"], load["load_median_s"])
        row("d load", f"load_latest, {label}, {cache}", ours, "zstd decompress limit",
            decompress_gbs, "GB/s", (">=", 0.8))
        row("d load", f"load_latest, {label}, {cache}", ours, "memcpy into fresh memory",
            _rate(limits["bytes"], limits["fresh_memcpy_s"]), "GB/s")
        row("d load", f"load_latest, {label}, {cache}", ours, f"read of its packs, {cache}",
            _rate(load["raw_bytes"], load["read_packs_median_s"]), "GB/s")
        row("d load", f"load_latest, {label}, {cache}", ours, f"torch.load, {cache}",
            _rate(load["raw_bytes"], load["torch_load_median_s"]), "GB/s")

    for key, label in (("memory_keep_on", "on"), ("memory_keep_off", "off")):
        memory = r[key]
        row("e memory", f"peak RSS above the state, keep_base_in_memory {label}",
            memory["peak_extra_gib"], "the state", memory["raw_bytes"] / GIB, "GiB")

    small = r["small_tensors"]
    row("f 10k small", "stall per save (median)", small["stall_median_s"] * 1e3, None, None, "ms")
    row("f 10k small", "end to end per save (median)", small["save_median_s"] * 1e3, None, None,
        "ms")
    row("f 10k small", "after-pack time, saves 46-50", small["after_pack_last5_s"] * 1e3,
        "saves 1-5", small["after_pack_first5_s"] * 1e3, "ms")
    row("f 10k small", "manifest.json after 50 saves", small["manifest_bytes"][-1] / MIB,
        None, None, "MiB")
    return rows


def last_profile_report(stderr_text):
    """The last save report (from its "[tarnwick profile] step" line on)."""
    lines = stderr_text.splitlines()
    starts = [i for i, line in enumerate(lines) if line.startswith("[tarnwick profile] step ")]
    if not starts:
        return ""
    block = []
    for line in lines[starts[-1]:]:
        if block and not line.startswith("  "):
            break
        block.append(line)
    return "\n".join(block)


def _met(row):
    if not row["target"] or row["ratio"] is None:
        return ""
    sign, value = row["target"]
    ok = row["ratio"] <= value if sign == "<=" else row["ratio"] >= value
    return f"{sign} {value}  {'met' if ok else 'MISSED'}"


def _number(value):
    if value is None:
        return ""
    return f"{value:.3f}" if abs(value) < 10 else f"{value:.0f}"


def table(document):
    header = ("scenario", "measure", "tarnwick", "unit", "versus", "theirs", "ratio", "target")
    lines = []
    for row in document["figures"]:
        lines.append((row["scenario"], row["measure"], _number(row["tarnwick"]), row["unit"],
                      row["reference"] or "", _number(row["reference_value"]),
                      f"{row['ratio']:.2f}x" if row["ratio"] is not None else "", _met(row)))
    widths = [max(len(str(line[i])) for line in [header] + lines) for i in range(len(header))]
    out = ["| " + " | ".join(h.ljust(w) for h, w in zip(header, widths)) + " |",
           "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    out += ["| " + " | ".join(str(c).ljust(w) for c, w in zip(line, widths)) + " |"
            for line in lines]
    return "\n".join(out)


def chart(document, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [row for row in document["figures"] if row["target"] and row["ratio"] is not None]
    labels = [f"{row['scenario']}\n{row['measure']}\nvs {row['reference']}" for row in rows]
    ratios = [row["ratio"] for row in rows]
    colours = ["tab:green" if _met(row).endswith("met") else "tab:red" for row in rows]
    figure, axes = plt.subplots(figsize=(10, 0.9 * len(rows) + 1.5))
    positions = range(len(rows))
    axes.barh(positions, ratios, color=colours)
    for y, row in zip(positions, rows):
        axes.plot([row["target"][1]] * 2, [y - 0.4, y + 0.4], color="black", linewidth=2)
        axes.text(row["ratio"], y, f" {row['ratio']:.2f}x", va="center")
    axes.set_yticks(list(positions), labels, fontsize=8)
    axes.invert_yaxis()
    axes.set_xlabel("ratio (black bar: target; green: met, red: missed)")
    axes.set_title(f"tarnwick against its references, {document['when']}")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)
