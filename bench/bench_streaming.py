"""Objects365 scale, side by side: quillscore.evaluate from the files,
StreamingEval fed in batches of 64 images, evaluate_dask on two local
workers, and the peers (pycocotools, faster-coco-eval) on a 1/16 set of
the same kind with their time extrapolated x16. Each run in a fresh
process; peak is the growth of the resident set during the timed step.

    python bench/bench_streaming.py [--images 80000] [--batch 64] [--skip dask,peers]

The data are written by gen_coco.py --objects365 on first use (about 900 MB
into bench/data-o365, and a 5,000-image set into bench/data-o365-16th).
"""

import argparse
import contextlib
import io
import json
import subprocess
import sys
import time
from pathlib import Path

from _bench import in_fresh_process, reset_peak, rss_kib

HERE = Path(__file__).resolve().parent


def data_dir(images: int) -> Path:
    folder = HERE / ("data-o365" if images == 80_000 else f"data-o365-{images}")
    if not (folder / "results_bbox.json").exists():
        print(f"generating {images} Objects365-scale images into {folder} ...", flush=True)
        subprocess.run([sys.executable, str(HERE / "gen_coco.py"), "--objects365", "--images",
                        str(images), "--out", str(folder)], check=True)
    return folder


def timed(fn):
    reset_peak()
    before = rss_kib("VmRSS")
    t0 = time.perf_counter()
    out = fn()
    seconds = time.perf_counter() - t0
    return out, seconds, (rss_kib("VmHWM") - before) / 1024


def worker(mode: str, folder: str, batch: int) -> dict:
    folder = Path(folder)
    gt_path, res_path = folder / "instances.json", folder / "results_bbox.json"
    if mode == "evaluate":
        import quillscore

        E, seconds, peak = timed(lambda: quillscore.evaluate(gt_path, res_path, "bbox"))
        return {"seconds": seconds, "peak_mib": peak, "ap": E.stats[0]}
    if mode == "stream":
        import quillscore

        dataset = quillscore._vireo.load_json(str(gt_path))
        results = quillscore._vireo.load_json(str(res_path))
        gts, dts = {}, {}
        for a in dataset["annotations"]:
            gts.setdefault(a["image_id"], []).append(a)
        for r in results:
            dts.setdefault(r["image_id"], []).append(r)
        del results
        images = dataset["images"]

        def feed():
            s = quillscore.StreamingEval("bbox", dataset["categories"])
            for b in range(0, len(images), batch):
                part = images[b:b + batch]
                s.add(part, [a for im in part for a in gts.get(im["id"], ())],
                      [r for im in part for r in dts.get(im["id"], ())])
            return s

        s, feed_s, peak = timed(feed)
        E, compute_s, _ = timed(s.compute)
        with contextlib.redirect_stdout(io.StringIO()):
            E.summarize()
        return {"seconds": feed_s + compute_s, "feed": feed_s, "compute": compute_s, "peak_mib": peak,
                "state_mib": s.nbytes() / 2**20, "bytes_per_det": s.nbytes() / s._state.detections(),
                "detections": s._state.detections(), "ap": E.stats[0]}
    if mode == "dask":
        import logging

        from distributed import Client, LocalCluster

        from quillscore.distributed import evaluate_dask

        with LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None,
                          silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
            E, seconds, _ = timed(lambda: evaluate_dask(client, gt_path, res_path, "bbox", timeout=3600))
        return {"seconds": seconds, "ap": E.stats[0]}
    # a peer, on the smaller set
    gt = json.loads(gt_path.read_text())
    dt = json.loads(res_path.read_text())
    if mode == "pycocotools":
        from pycocotools.coco import COCO
        from pycocotools.cocoeval import COCOeval
    else:
        from faster_coco_eval import COCO
        from faster_coco_eval import COCOeval_faster as COCOeval

    def run():
        with contextlib.redirect_stdout(io.StringIO()):
            coco = COCO()
            coco.dataset = gt
            coco.createIndex()
            E = COCOeval(coco, coco.loadRes(dt), "bbox")
            E.evaluate()
            E.accumulate()
            E.summarize()
        return E

    E, seconds, peak = timed(run)
    return {"seconds": seconds, "peak_mib": peak, "ap": float(E.stats[0])}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--worker", nargs=3, metavar=("MODE", "FOLDER", "BATCH"))
    ap.add_argument("--images", type=int, default=80_000)
    ap.add_argument("--batch", type=int, default=64)
    ap.add_argument("--skip", default="")
    args = ap.parse_args()
    if args.worker:
        mode, folder, batch = args.worker
        print(json.dumps(worker(mode, folder, int(batch))))
        return
    skip = set(filter(None, args.skip.split(",")))
    big = data_dir(args.images)
    small = data_dir(args.images // 16)
    rows = {}
    for mode in ("evaluate", "stream", "dask"):
        if mode not in skip:
            rows[mode] = in_fresh_process(__file__, mode, str(big), str(args.batch))
            print(f"  {mode:12s} {rows[mode]}", flush=True)
    if "peers" not in skip:
        for mode in ("evaluate", "pycocotools", "faster-coco-eval"):
            rows[f"{mode} 1/16"] = in_fresh_process(__file__, mode, str(small), str(args.batch))
            print(f"  {mode + ' 1/16':12s} {rows[f'{mode} 1/16']}", flush=True)
    base = rows.get("evaluate") or {}
    print(f"\n{'route':28s} {'seconds':>9s} {'x evaluate':>11s} {'peak MiB':>9s}")
    for name, r in rows.items():
        if not r:
            continue
        scale = 16 if name.endswith("1/16") and not name.startswith("evaluate") else 1
        label = name + (" (x16)" if scale > 1 else "")
        ratio = r["seconds"] * scale / base["seconds"] if base else float("nan")
        print(f"{label:28s} {r['seconds'] * scale:9.2f} {ratio:11.2f} {r.get('peak_mib', float('nan')):9.0f}")
    stream = rows.get("stream")
    if stream:
        print(f"\nStreamingEval state: {stream['state_mib']:.1f} MiB for {stream['detections']} kept "
              f"detections, {stream['bytes_per_det']:.1f} bytes each; feeding {stream['feed']:.2f} s, "
              f"compute() {stream['compute']:.2f} s")
    aps = {name: round(r["ap"], 12) for name, r in rows.items() if r and not name.endswith("1/16")}
    print("AP of the full-scale routes:", aps)


if __name__ == "__main__":
    main()
