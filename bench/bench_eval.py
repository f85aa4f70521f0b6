"""Evaluation speed and memory side by side: quillscore's Evaluator against
the reference COCO API's COCOeval and faster-coco-eval, on the data written by
bench/gen_coco.py (generated on first use).

Each (tool, IoU type) runs in a fresh process that first loads the same dicts
into memory, untimed; the timed step is construction + run() for quillscore
and evaluate() + accumulate() for the others. Peak memory is the growth of the
process's resident set during that step (high-water mark reset before it).

    python bench/bench_eval.py [--types bbox,segm,keypoints] [--tools ...]
"""

import argparse
import contextlib
import gc
import io
import json
import time

from _bench import DATA, FILES, ensure_data, in_fresh_process, reset_peak, rss_kib

TOOLS = ["quillscore", "pycocotools", "faster-coco-eval"]


def load(iou_type):
    gt_file, dt_file = FILES[iou_type]
    gt = json.loads((DATA / gt_file).read_text())
    dt = json.loads((DATA / dt_file).read_text())
    return gt, dt


def coco_objects(module, gt, dt):
    with contextlib.redirect_stdout(io.StringIO()):
        coco = module.COCO()
        coco.dataset = gt
        coco.createIndex()
        res = coco.loadRes(dt)
    return coco, res


def measure(tool, iou_type):
    gt, dt = load(iou_type)
    if tool == "pycocotools":
        from pycocotools import coco as mod
        from pycocotools.cocoeval import COCOeval as Eval
    elif tool == "faster-coco-eval":
        import faster_coco_eval as mod
        from faster_coco_eval import COCOeval_faster as Eval
    else:
        from pycocotools import coco as mod  # only to prepare the same dicts
        from quillscore import _vireo
    coco, res = coco_objects(mod, gt, dt)
    extra = {}
    if tool == "quillscore":
        with contextlib.redirect_stdout(io.StringIO()):
            from pycocotools.cocoeval import COCOeval
            p = COCOeval(coco, res, iou_type).params
        img_ids, cat_ids = sorted(coco.getImgIds()), sorted(coco.getCatIds())
        gts = coco.loadAnns(coco.getAnnIds(imgIds=img_ids, catIds=cat_ids))
        dts = res.loadAnns(res.getAnnIds(imgIds=img_ids, catIds=cat_ids))
        sizes = {im["id"]: (im["height"], im["width"]) for im in gt["images"]}
        args = (gts, dts, sizes, img_ids, cat_ids, [float(t) for t in p.iouThrs],
                [float(r) for r in p.recThrs], list(p.maxDets), [list(map(float, a)) for a in p.areaRng],
                True, iou_type, [float(s) for s in getattr(p, "kpt_oks_sigmas", [])])
        gc.collect()
        reset_peak()
        base = rss_kib("VmRSS")
        start = time.perf_counter()
        ev = _vireo.Evaluator(*args)
        out = ev.run()
        elapsed = time.perf_counter() - start
        extra = ev.timings()
        del out
    else:
        gc.collect()
        with contextlib.redirect_stdout(io.StringIO()):
            e = Eval(coco, res, iou_type)
            reset_peak()
            base = rss_kib("VmRSS")
            start = time.perf_counter()
            e.evaluate()
            e.accumulate()
            elapsed = time.perf_counter() - start
    peak = rss_kib("VmHWM") - base
    return {"seconds": elapsed, "peak_mib": peak / 1024, "timings": extra}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--types", default="bbox,segm,keypoints")
    ap.add_argument("--tools", default=",".join(TOOLS))
    ap.add_argument("--worker", nargs=2, metavar=("TOOL", "TYPE"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        print(json.dumps(measure(*args.worker)))
        return
    ensure_data()
    types, tools = args.types.split(","), args.tools.split(",")
    results = {}
    for t in types:
        for tool in tools:
            r = in_fresh_process(__file__, tool, t)
            if r is None:
                continue
            results[t, tool] = r
            print(f"  {t:9s} {tool:17s} {r['seconds']:8.3f} s  peak +{r['peak_mib']:8.1f} MiB",
                  flush=True)
    print()
    print(f"{'type':9s} {'quillscore':>11s} {'pycocotools':>12s} {'faster':>9s} "
          f"{'x ref':>7s} {'x faster':>9s} {'peak MiB ours/ref/faster':>26s}")
    for t in types:
        q, r, f = (results.get((t, k)) for k in TOOLS)
        if not q:
            continue
        def s(x):
            return f"{x['seconds']:.3f}" if x else "-"
        rr = f"{r['seconds'] / q['seconds']:.1f}" if r else "-"
        rf = f"{f['seconds'] / q['seconds']:.1f}" if f else "-"
        mem = "/".join(f"{x['peak_mib']:.0f}" if x else "-" for x in (q, r, f))
        print(f"{t:9s} {s(q):>11s} {s(r):>12s} {s(f):>9s} {rr:>7s} {rf:>9s} {mem:>26s}")
    for t in types:
        q = results.get((t, "quillscore"))
        if q:
            print(f"timings {t}: " + ", ".join(f"{k} {v:.3f}" for k, v in q["timings"].items()))


if __name__ == "__main__":
    main()
