"""What the CrowdPose summary costs: COCOeval "keypoints_crowd" against plain
"keypoints" on the same generated people (bench/gen_coco.py's keypoint
files, 17 points with COCO's sigmas and areas), each image given a seeded
crowdIndex. The crowd levels are accumulated from the evaluation's one
matching pass (Evaluator.group_precision), so they cost about one more
accumulation.

    python bench/bench_crowdpose.py [--repeats 3]
"""

import argparse
import contextlib
import copy
import io
import json

import numpy as np

from _bench import DATA, FILES, best_times, ensure_data

import quillscore
from quillscore.params import COCO_KPT_SIGMAS


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    ensure_data()
    gt_file, dt_file = FILES["keypoints"]
    dataset = json.loads((DATA / gt_file).read_text())
    results = json.loads((DATA / dt_file).read_text())
    rng = np.random.default_rng(0)
    for im in dataset["images"]:
        im["crowdIndex"] = float(np.round(rng.random(), 2))
    gt = quillscore.COCO(copy.deepcopy(dataset))
    dt = gt.loadRes(copy.deepcopy(results))

    def run(iou_type):
        def go():
            E = quillscore.COCOeval(gt, dt, iou_type)
            E.params.kpt_oks_sigmas = COCO_KPT_SIGMAS.copy()
            E.params.use_area = True
            E.evaluate()
            E.accumulate()
            with contextlib.redirect_stdout(io.StringIO()):
                E.summarize()
            return E
        return go

    best = best_times({"keypoints": run("keypoints"), "keypoints_crowd": run("keypoints_crowd")},
                      args.repeats)
    print(f"{len(dataset['images'])} images, {len(dataset['annotations'])} people, "
          f"{len(results)} results; evaluate + accumulate + summarize, best of {args.repeats}:")
    for name, seconds in best.items():
        print(f"  {name:16s} {seconds:.3f} s  ({seconds / best['keypoints']:.2f}x)")


if __name__ == "__main__":
    main()
