"""The package's COCO class and mask module against the reference COCO
API's: the same lookups, the same completed results, the same masks."""

from __future__ import annotations

import contextlib
import copy
import io
import json

import numpy as np
import pytest

import _eval_data as data
import quillscore
from _paths import DATA_DIR
from quillscore import mask as qmask

pycoco = pytest.importorskip("pycocotools.coco", reason="pycocotools is not installed")
pymask = pytest.importorskip("pycocotools.mask", reason="pycocotools is not installed")
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

VAL2014 = DATA_DIR / "coco_val2014_100" / "instances_val2014_100.json"
MINI_KP = DATA_DIR / "coco_mini_2017" / "person_keypoints_val2017.json"


def load(path):
    if not path.exists():
        pytest.skip(f"{path} is not available")
    return json.loads(path.read_text())


@pytest.fixture(scope="module")
def pair():
    """(ours, the reference's) over the val2014 subset."""
    with contextlib.redirect_stdout(io.StringIO()):
        ref = pycoco.COCO(str(VAL2014)) if VAL2014.exists() else pytest.skip("no data")
    return quillscore.COCO(str(VAL2014)), ref


def test_indexes_equal_the_reference(pair):
    ours, ref = pair
    assert ours.dataset == ref.dataset
    assert ours.anns == ref.anns and ours.imgs == ref.imgs and ours.cats == ref.cats
    assert dict(ours.imgToAnns) == dict(ref.imgToAnns)
    assert dict(ours.catToImgs) == dict(ref.catToImgs)
    assert ours.imgToAnns[-12345] == []  # missing images read as empty


def _lookups(c, img_ids, cat_ids):
    return [
        c.getAnnIds(), c.getAnnIds(imgIds=img_ids[:7]), c.getAnnIds(catIds=cat_ids[:3]),
        c.getAnnIds(imgIds=img_ids[0]), c.getAnnIds(catIds=cat_ids[0]),
        c.getAnnIds(imgIds=img_ids[:20], catIds=cat_ids[:10], areaRng=[100, 5000]),
        c.getAnnIds(areaRng=[0, 1024]), c.getAnnIds(iscrowd=1), c.getAnnIds(iscrowd=0),
        c.getAnnIds(imgIds=[-1]),
        c.getCatIds(), c.getCatIds(catNms=["person", "dog"]), c.getCatIds(supNms=["animal"]),
        c.getCatIds(catIds=cat_ids[:5]), c.getCatIds(catNms="person"),
        c.getCatIds(supNms=["vehicle"], catIds=cat_ids[:6]),
        sorted(c.getImgIds()), sorted(c.getImgIds(imgIds=img_ids[:9])),
        sorted(c.getImgIds(catIds=[1])), sorted(c.getImgIds(catIds=[1, 3])),
        sorted(c.getImgIds(imgIds=img_ids[:40], catIds=[1])), sorted(c.getImgIds(catIds=1)),
        [a["id"] for a in c.loadAnns(c.getAnnIds()[:5])], c.loadAnns(c.getAnnIds()[0]),
        c.loadCats(cat_ids[:4]), c.loadCats(cat_ids[0]), c.loadImgs(img_ids[:3]), c.loadImgs(img_ids[1]),
    ]


def test_lookups_equal_the_reference(pair):
    ours, ref = pair
    img_ids, cat_ids = sorted(ref.getImgIds()), sorted(ref.getCatIds())
    for i, (a, b) in enumerate(zip(_lookups(ours, img_ids, cat_ids), _lookups(ref, img_ids, cat_ids))):
        assert a == b, i


def test_masks_equal_the_reference(pair):
    ours, ref = pair
    for ann_id in ref.getAnnIds()[::7]:
        ann = ref.anns[ann_id]
        mine = ours.annToRLE(copy.deepcopy(ann))
        theirs = ref.annToRLE(copy.deepcopy(ann))
        assert mine["size"] == list(theirs["size"])
        assert bytes(mine["counts"]) == (theirs["counts"] if isinstance(theirs["counts"], bytes)
                                         else theirs["counts"].encode())
        assert np.array_equal(ours.annToMask(ann), ref.annToMask(ann))


def _completed(c, results):
    with contextlib.redirect_stdout(io.StringIO()):
        res = c.loadRes(results)
    return res


@pytest.mark.parametrize("kind", ["bbox", "segm", "keypoints", "numpy"])
def test_load_res_completes_results_as_the_reference(kind):
    if kind == "keypoints":
        dataset = load(MINI_KP)
        results = data.perturb_keypoints(dataset, seed=3)
    else:
        dataset = load(VAL2014)
        results = data.perturb_instances(dataset, seed=4, kind="bbox" if kind == "numpy" else kind)
    ours_gt = quillscore.COCO(copy.deepcopy(dataset))
    with contextlib.redirect_stdout(io.StringIO()):
        ref_gt = pycoco.COCO()
        ref_gt.dataset = copy.deepcopy(dataset)
        ref_gt.createIndex()
    if kind == "numpy":
        rows = np.array([[r["image_id"], *r["bbox"], r["score"], r["category_id"]] for r in results])
        mine, theirs = ours_gt.loadRes(rows), _completed(ref_gt, rows)
    else:
        mine, theirs = ours_gt.loadRes(copy.deepcopy(results)), _completed(ref_gt, copy.deepcopy(results))
    assert mine.getImgIds() == theirs.getImgIds() and mine.cats == theirs.cats
    assert len(mine.anns) == len(theirs.anns)
    for ann_id, b in theirs.anns.items():
        a = mine.anns[ann_id]
        for key in ("image_id", "category_id", "score", "id"):
            assert a[key] == b[key], key
        assert float(a["area"]) == float(b["area"])
        assert np.array_equal(np.asarray(a["bbox"], float), np.asarray(b["bbox"], float))


def test_load_res_refuses_unknown_images_and_takes_paths(tmp_path, pair):
    ours, _ = pair
    with pytest.raises(quillscore.ResultsError, match="not in the dataset"):
        ours.loadRes([{"image_id": -7, "category_id": 1, "bbox": [0, 0, 1, 1], "score": 1.0}])
    path = tmp_path / "r.json"
    path.write_text(json.dumps([{"image_id": ours.getImgIds()[0], "category_id": 1,
                                 "bbox": [1, 2, 3, 4], "score": 0.5}]))
    res = ours.loadRes(str(path))
    assert res.anns[1]["area"] == 12 and res.anns[1]["iscrowd"] == 0
    path.write_text("[{")
    with pytest.raises(ValueError) as exc:
        ours.loadRes(path)
    assert exc.value.__notes__ == [f"while reading {path}"]
    with pytest.raises(ValueError, match="neither"):
        ours.loadRes([{"image_id": ours.getImgIds()[0], "category_id": 1}])


def test_mask_module_matches_the_reference():
    rng = np.random.default_rng(5)
    masks = (rng.random((30, 20, 3)) > 0.6).astype(np.uint8)
    one = np.asfortranarray(masks[:, :, 0])
    ours, theirs = qmask.encode(np.asfortranarray(masks)), pymask.encode(np.asfortranarray(masks))
    assert [o["counts"] for o in ours] == [t["counts"] for t in theirs]
    assert qmask.encode(one)["counts"] == pymask.encode(one)["counts"]
    assert np.array_equal(qmask.decode(ours[0]), pymask.decode(theirs[0]))
    assert np.array_equal(qmask.decode(ours), pymask.decode(theirs))
    assert qmask.area(ours[1]) == pymask.area(theirs[1])
    assert np.array_equal(qmask.area(ours), pymask.area(theirs))
    assert np.array_equal(qmask.toBbox(ours[2]), pymask.toBbox(theirs[2]))
    assert np.array_equal(qmask.toBbox(ours), pymask.toBbox(theirs))
    assert np.array_equal(qmask.iou(ours, ours, [0, 0, 1]), pymask.iou(theirs, theirs, [0, 0, 1]))
    assert qmask.merge(ours)["counts"] == pymask.merge(theirs)["counts"]
    assert len(qmask.toBoundary(ours)) == 3 and isinstance(qmask.toBoundary(ours[0]), dict)
