#!/usr/bin/env python3
"""Fits the metrical-level weights of the analyser to a corpus and writes them as named constants.

Input: the JSON lines that `corvel_analysis_accuracy_bench --levels PATH` writes, one per piece:
the candidate levels the analyser chose among with the features it scored them on, the level it
chose, and the ratio of the counted tempo to the tempo the levels count from. Only the tuning half of a corpus goes in; the hold-out half is
read back with --check to report how the fitted weights do there, never to fit.

The level score is linear in the standardised features; the weights maximise the likelihood of the
right level under a softmax over each piece's levels (a conditional logit), with an L2 penalty.
A second fit maps what the analyser knows of a piece after the choice (how far the chosen level
leads the runner-up, the consensus figures) to the probability that the piece's tempo is right:
the reported confidence. The ambiguity margin is the level lead below which the choice is
reported ambiguous. Both are provisional here, measured on the pieces they are fitted on: once the
bench has run with the new level weights, bench/calibrate_confidence.py chooses them by
cross-validation over style families and writes them into the same header.

    corvel_analysis_accuracy_bench --corpus written --half tuning --results tuning.jsonl --levels
    fit_level_weights.py [--synth-weight W] --out src/analysis/level_weights.hpp tuning.jsonl [synth.jsonl ...]
    fit_level_weights.py --weights src/analysis/level_weights.hpp --check HOLDOUT.jsonl ...
"""

import argparse
import hashlib
import json
import math
import os
import re
import sys

TOLERANCE = 0.04  # a level is right within 4 % of the counted tempo
L2 = 0.02
CONFIDENCE_L2 = 0.05


def normalised(line, rendering):
    """One piece from either form of the bench's lines: --results with --levels, or the older --levels file.
    A synthesised piece's corpus is its rendering (the file it came in, as synth-v0 or gm-v1); a
    written piece's is its source and half (mma/tuning), the only corpus names with a slash."""
    if "level_evidence" not in line:
        return line if "levels" in line else None
    evidence = line["level_evidence"]
    synthesised = line.get("half") == "synthesised"
    return {
        "corpus": rendering if synthesised else line.get("source", "") + ("/" + line["half"] if line.get("half") else ""),
        "half": line.get("half", ""),
        "piece": line["name"],
        "steady": line["steady"],
        "counted": line.get("truth_bpm") or 0,
        "truthRatio": evidence["truth_ratio"],
        "chosenFactor": evidence.get("chosen_factor", 1.0),
        "acc1": line.get("acc1", False),
        "right": line.get("right", False),
        "agreement": evidence["agreement"],
        "stability": evidence["stability"],
        "topScore": evidence["top_score"],
        "levels": evidence["levels"],
    }


def load(paths):
    pieces = []
    for path in paths:
        with open(path) as f:
            for line in f:
                line = line.strip()
                if line:
                    piece = normalised(json.loads(line), os.path.splitext(os.path.basename(path))[0])
                    if piece is not None and piece["levels"]:
                        pieces.append(piece)
    return pieces


def right_levels(piece):
    ratio = piece.get("truthRatio") or 0
    if not ratio > 0:
        return []
    return [abs(level["factor"] / ratio - 1) <= TOLERANCE for level in piece["levels"]]


def standardise(pieces, count):
    rows = [level["x"] for p in pieces for level in p["levels"]]
    means = [sum(r[k] for r in rows) / len(rows) for k in range(count)]
    scales = []
    for k in range(count):
        var = sum((r[k] - means[k]) ** 2 for r in rows) / len(rows)
        scales.append(math.sqrt(var) if var > 1e-12 else 1.0)
    return means, scales


def scores_of(piece, weights, means, scales):
    return [sum(w * (x - m) / s for w, x, m, s in zip(weights, level["x"], means, scales)) for level in piece["levels"]]


def fit_levels(pieces, count, means, scales, synth_weight=1.0, iterations=4000, rate=0.5):
    data = []
    for p in pieces:
        right = right_levels(p)
        if len(right) == len(p["levels"]) and any(right) and len(right) > 1:
            z = [[(x - m) / s for x, m, s in zip(level["x"], means, scales)] for level in p["levels"]]
            data.append((z, right, synth_weight if "/" not in p["corpus"] else 1.0))
    total_weight = sum(w for _, _, w in data)
    weights = [0.0] * count
    # Adam on the mean negative log-likelihood of the right levels.
    m1 = [0.0] * count
    m2 = [0.0] * count
    for step in range(1, iterations + 1):
        grad = [L2 * w for w in weights]
        for z, right, piece_weight in data:
            s = [sum(w * v for w, v in zip(weights, row)) for row in z]
            top = max(s)
            e = [math.exp(v - top) for v in s]
            total = sum(e)
            prob = [v / total for v in e]
            right_total = sum(pr for pr, r in zip(prob, right) if r)
            for row, pr, r in zip(z, prob, right):
                # d(-log sum_right p)/ds_i = p_i - [r_i] p_i / right_total
                g = pr - (pr / right_total if r else 0.0)
                for k in range(count):
                    grad[k] += piece_weight * g * row[k] / total_weight
        for k in range(count):
            m1[k] = 0.9 * m1[k] + 0.1 * grad[k]
            m2[k] = 0.999 * m2[k] + 0.001 * grad[k] ** 2
            mh = m1[k] / (1 - 0.9 ** step)
            vh = m2[k] / (1 - 0.999 ** step)
            weights[k] -= rate * 0.02 * mh / (math.sqrt(vh) + 1e-8)
    return weights, len(data)


def choice_of(piece, weights, means, scales):
    s = scores_of(piece, weights, means, scales)
    if not s:
        return None
    best = max(range(len(s)), key=lambda k: (s[k], k))
    others = [v for k, v in enumerate(s) if k != best]
    margin = s[best] - max(others) if others else 10.0
    top = s[best]
    prob = 1.0 / sum(math.exp(v - top) for v in s)
    return best, margin, prob


HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "analysis", "level_weights.hpp")


def largest_counted_margin(path=HEADER):
    """The level lead the confidence counts at most, as the analyser's header has it."""
    return float(re.search(r"kLargestCountedMargin = ([^;]+);", open(path).read()).group(1))


LARGEST_MARGIN = largest_counted_margin()


def confidence_inputs(piece, margin):
    return [1.0, min(margin, LARGEST_MARGIN), piece.get("agreement", 0), piece.get("stability", 0),
            piece.get("topScore", 0)]


CONFIDENCE_NAMES = ["intercept", "levelMargin", "agreement", "stability", "consensusScore"]


def is_right(piece, weights, means, scales):
    c = choice_of(piece, weights, means, scales)
    right = right_levels(piece)
    if c is None or not right:
        return False, c
    # A tempo map read at the level the analyser chose is right as the bench scored it; at another
    # level, its level must be right.
    chosen = piece.get("chosenFactor", 1.0)
    if not piece["steady"] and c[0] < len(piece["levels"]) and abs(piece["levels"][c[0]]["factor"] - chosen) < 1e-9:
        return right[c[0]] and piece.get("right", True), c
    return right[c[0]], c


def fit_logistic(rows, iterations=3000, rate=0.5, l2=CONFIDENCE_L2):
    """A logistic regression of y (0 or 1) on x, rows of (x, y) whose x starts with the intercept's 1;
    an L2 penalty on every weight but the intercept."""
    n = len(rows[0][0])
    w = [0.0] * n
    for _ in range(iterations):
        grad = [l2 * v for v in w]
        grad[0] = 0.0
        for x, y in rows:
            z = sum(a * b for a, b in zip(w, x))
            pr = 1 / (1 + math.exp(-max(min(z, 40), -40)))
            for k in range(n):
                grad[k] += (pr - y) * x[k] / len(rows)
        for k in range(n):
            w[k] -= rate * grad[k]
    return w


def fit_confidence(pieces, weights, means, scales):
    data = []
    for p in pieces:
        right, c = is_right(p, weights, means, scales)
        if c is None:
            continue
        data.append((confidence_inputs(p, c[1]), 1.0 if right else 0.0))
    return fit_logistic(data)


SURE = 0.8
SURE_RIGHT = 0.97


def conservative(cw, pieces, weights, means, scales):
    cw = list(cw)
    judged = [(p,) + is_right(p, weights, means, scales) for p in pieces]
    judged = [(p, right, c[1]) for p, right, c in judged if c is not None]
    for _ in range(400):
        sure = [right for p, right, margin in judged if confidence(p, margin, cw) >= SURE]
        if not sure or sum(sure) / len(sure) >= SURE_RIGHT:
            break
        cw[0] -= 0.05
    return cw


def confidence(piece, margin, w):
    z = sum(a * b for a, b in zip(w, confidence_inputs(piece, margin)))
    return 1 / (1 + math.exp(-max(min(z, 40), -40)))


def ambiguity_margin(pieces, weights, means, scales):
    """The level lead below which the choice is reported ambiguous: the one that best separates
    the wrong choices from the right ones (true rate of flagging a miss less false rate)."""
    rows = []
    for p in pieces:
        right, c = is_right(p, weights, means, scales)
        if c is not None and right_levels(p):
            rows.append((c[1], right))
    misses = sum(1 for _, r in rows if not r)
    hits = len(rows) - misses
    best, best_j = 0.5, -1.0
    for t in [0.25 * k for k in range(1, 17)]:
        tp = sum(1 for m, r in rows if m < t and not r) / max(misses, 1)
        fp = sum(1 for m, r in rows if m < t and r) / max(hits, 1)
        if tp - fp > best_j + 1e-9:
            best, best_j = t, tp - fp
    return best


def report(label, pieces, weights, means, scales, cw, margin, misses=True):
    n = len(pieces)
    steady = [p for p in pieces if p["steady"]]
    now = sum(1 for p in steady if p["acc1"])
    fitted = sum(1 for p in steady if is_right(p, weights, means, scales)[0])
    sure = [p for p in pieces if is_right(p, weights, means, scales)[1] is not None
            and confidence(p, is_right(p, weights, means, scales)[1][1], cw) >= 0.8]
    sure_right = sum(1 for p in sure if is_right(p, weights, means, scales)[0])
    amb = [p for p in pieces if is_right(p, weights, means, scales)[1] is not None
           and is_right(p, weights, means, scales)[1][1] < margin]
    amb_wrong = sum(1 for p in amb if not is_right(p, weights, means, scales)[0])
    print(f"{label}: {n} pieces; Acc1 over {len(steady)} steady: as analysed {now / max(len(steady), 1):.3f}, "
          f"fitted level {fitted / max(len(steady), 1):.3f}; confidence >= 0.8: {len(sure)} pieces, "
          f"{sure_right / max(len(sure), 1):.3f} right; ambiguous: {len(amb)} ({amb_wrong} of them wrong)")
    for p in steady if misses else []:
        right, c = is_right(p, weights, means, scales)
        if not right:
            chosen = p["levels"][c[0]]["bpm"] if c else 0
            print(f"    miss {p['corpus']} {p['piece']}: counted {p['counted']}, chooses {chosen:.2f} "
                  f"(margin {c[1] if c else 0:.2f})")


def replay_mismatches(pieces, weights, means, scales):
    """The pieces whose level, replayed from their features with these weights, is not the one the
    analyser chose: the evidence was not what the analyser scored, or the weights are not its own."""
    missed = []
    for p in pieces:
        c = choice_of(p, weights, means, scales)
        if c is not None and abs(p["levels"][c[0]]["factor"] - p.get("chosenFactor", 1.0)) > 1e-9:
            missed.append(p)
    return missed


def feature_names(count):
    """The feature names as the analyser lists them (src/analysis/level_evidence.hpp)."""
    header = os.path.join(os.path.dirname(HEADER), "level_evidence.hpp")
    try:
        text = open(header).read()
        block = text[text.index("kLevelFeatureNames{"):]
        names = re.findall(r'^\s*"(\w+)",', block[:block.index("};")], re.M)
        if len(names) == count:
            return names
    except (OSError, ValueError):
        pass
    return [f"x{k}" for k in range(count)]


def corpus_version(pieces):
    names = sorted({p["corpus"] for p in pieces})
    digest = hashlib.sha256()
    for p in sorted(pieces, key=lambda p: (p["corpus"], p["piece"])):
        digest.update(f"{p['corpus']}|{p['piece']}|{p['counted']}|{p['truthRatio']:.6f}\n".encode())
    return ",".join(names) + f" ({len(pieces)} pieces, sha256 {digest.hexdigest()[:12]})"


def cpp_array(values):
    return "{" + ", ".join(f"{v:.9g}" for v in values) + "}"


def write_header(path, names, means, scales, weights, cw, margin, version):
    count = len(names)
    lines = [
        "#pragma once",
        "",
        "// Generated by bench/fit_level_weights.py; fit it again rather than edit it:",
        "//   " + " ".join(["bench/fit_level_weights.py"] + [a if "/tmp/" not in a else a.split("/")[-1] for a in sys.argv[1:]]),
        "// Features (in the order of kLevelFeatureNames): " + ", ".join(names) + ".",
        "",
        "#include <array>",
        "",
        "namespace corvel::analysis {",
        "",
        "// The corpus the weights were fitted on.",
        f"inline constexpr const char* kLevelWeightsCorpus = \"{version}\";",
        "// A level's score: sum of weight x (feature - mean) / scale.",
        f"inline constexpr std::array<double, {count}> kLevelFeatureMeans{cpp_array(means)};",
        f"inline constexpr std::array<double, {count}> kLevelFeatureScales{cpp_array(scales)};",
        f"inline constexpr std::array<double, {count}> kLevelWeights{cpp_array(weights)};",
        "// The confidence: the logistic of these weights over " + ", ".join(CONFIDENCE_NAMES) + ".",
        f"inline constexpr std::array<double, {len(cw)}> kConfidenceWeights{cpp_array(cw)};",
        "// The level lead (log odds) the confidence counts at most.",
        f"inline constexpr double kLargestCountedMargin = {LARGEST_MARGIN:.9g};",
        "// The chosen level's lead (log odds) over the runner-up below which the level stays open.",
        f"inline constexpr double kAmbiguousLevelMargin = {margin:.9g};",
        "",
        "}  // namespace corvel::analysis",
        "",
    ]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def read_header(path):
    text = open(path).read()

    def array(name):
        m = re.search(name + r"\{([^}]*)\}", text)
        return [float(v) for v in m.group(1).split(",")] if m and m.group(1).strip() else []

    margin = float(re.search(r"kAmbiguousLevelMargin = ([^;]+);", text).group(1))
    return array("kLevelFeatureMeans"), array("kLevelFeatureScales"), array("kLevelWeights"), \
        array("kConfidenceWeights"), margin


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", help="header to write the fitted constants to")
    parser.add_argument("--weights", help="header to read the constants from (with --check)")
    parser.add_argument("--check", action="store_true", help="only report how the weights do on the files")
    parser.add_argument("--misses", action="store_true", help="list the steady pieces the fitted levels miss")
    parser.add_argument("--synth-weight", type=float, default=1.0,
                        help="weight of a synthesised piece against a written one in the fit")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    pieces = load(args.files)
    if not pieces:
        sys.exit("no pieces")
    count = len(pieces[0]["levels"][0]["x"])
    names = feature_names(count)
    if args.check:
        means, scales, weights, cw, margin = read_header(args.weights)
        report("check", pieces, weights, means, scales, cw, margin, misses=args.misses)
        missed = replay_mismatches(pieces, weights, means, scales)
        print(f"replayed level differs from the analyser's on {len(missed)} of {len(pieces)} pieces")
        for p in missed:
            print(f"    {p['corpus']} {p['piece']}: analyser {p.get('chosenFactor', 1.0):.4g}, replay "
                  f"{p['levels'][choice_of(p, weights, means, scales)[0]]['factor']:.4g}")
        return
    if any(p.get("half") == "holdout" for p in pieces):
        sys.exit("the hold-out half is never fitted on: give the tuning half only (or use --check)")
    means, scales = standardise(pieces, count)
    weights, used = fit_levels(pieces, count, means, scales, args.synth_weight)
    # The confidence speaks of music people wrote: it is fitted on the written pieces when there
    # are any, then lowered until the pieces it puts at 0.8 or more are right often enough, with
    # room to spare for music it was not fitted on.
    written = [p for p in pieces if "/" in p["corpus"]] or pieces
    cw = fit_confidence(written, weights, means, scales)
    cw = conservative(cw, written, weights, means, scales)
    margin = ambiguity_margin(pieces, weights, means, scales)
    print(f"fitted on {used} pieces with a right level among their candidates")
    for name, w in zip(names, weights):
        print(f"  {name:<22} weight {w:+.3f}")
    print("  confidence " + ", ".join(f"{n} {v:+.3f}" for n, v in zip(CONFIDENCE_NAMES, cw)))
    print(f"  ambiguous below a lead of {margin:.2f}")
    report("tuning", pieces, weights, means, scales, cw, margin, misses=False)
    for group in sorted({p["corpus"].split("-")[0].split("/")[-1] if "/" not in p["corpus"] else "written"
                         for p in pieces}):
        members = [p for p in pieces if (("/" in p["corpus"]) == (group == "written")) and
                   (group == "written" or p["corpus"].startswith(group))]
        report("  " + group, members, weights, means, scales, cw, margin, misses=args.misses)
    if args.out:
        write_header(args.out, names, means, scales, weights, cw, margin, corpus_version(pieces))


if __name__ == "__main__":
    main()
