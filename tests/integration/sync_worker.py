"""One rank of a torch.distributed job (gloo, loopback) that evaluates its
share of the val2014 100-image sample into a StreamingEval, syncs it with
the other ranks and writes what compute() gives it, as a pickle.

    python sync_worker.py RANK WORLD PORT IOU_TYPE DATA_DIR OUT.pkl
"""

from __future__ import annotations

import datetime
import json
import pickle
import sys

import torch.distributed as dist

from quillscore import StreamingEval


def main():
    rank, world, port = (int(v) for v in sys.argv[1:4])
    iou_type, data_dir, out = sys.argv[4:7]
    dataset = json.load(open(f"{data_dir}/coco_val2014_100/instances_val2014_100.json"))
    results = json.load(open(f"{data_dir}/coco_val2014_100/fake_{iou_type}_results.json"))
    dist.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=rank,
                            world_size=world, timeout=datetime.timedelta(seconds=60))
    try:
        s = StreamingEval(iou_type, dataset["categories"])
        # Every rank its own images, in batches as a data loader gives them.
        mine = dataset["images"][rank::world]
        for b in range(0, len(mine), 8):
            batch = mine[b:b + 8]
            ids = {im["id"] for im in batch}
            s.add(batch, [a for a in dataset["annotations"] if a["image_id"] in ids],
                  [r for r in results if r["image_id"] in ids])
        s.sync()
        E = s.compute()
        E.summary()
        with open(out, "wb") as f:
            pickle.dump({"images": len(s), "stats": E.stats, "precision": E.eval["precision"],
                         "recall": E.eval["recall"], "scores": E.eval["scores"]}, f)
    finally:
        dist.destroy_process_group()


if __name__ == "__main__":
    main()
