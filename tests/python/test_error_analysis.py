"""COCOeval.error_analysis(): tidecv's error breakdown.

The pinned values are tidecv 1.0.1's own output on the val2014 100-image
fake results (tidecv_ties=True), and the same computation with equal scores
ranked one way before and after a fix (the default); tests/integration runs
tidecv itself."""

from __future__ import annotations

import copy

import pytest

from quillscore import COCO, COCOeval

MAIN = ("Cls", "Loc", "Both", "Dupe", "Bkg", "Miss")

# (iou type, tidecv_ties) -> ap, main (in MAIN order), FalsePos, FalseNeg, counts (in MAIN order)
PINNED = {
    ("bbox", True): (64.20498881733425,
                     (22.2460397441685, 0.22789102370710168, 0, 0.018972971237033676, 0, 8.523573787723365),
                     6.821587524510463, 17.684978535217184, (83, 1, 0, 1, 0, 97)),
    ("bbox", False): (64.20498881733425,
                      (22.24976192089747, 0.2301545944068124, 0, 0.018972971237033676, 0, 8.525952163212736),
                      6.8215875245104485, 17.68773103718803, (83, 1, 0, 1, 0, 97)),
    ("segm", True): (51.80081155512982,
                     (16.186000852974452, 11.600722789458686, 1.0128509521506288, 0, 0.2681107488310275,
                      7.778639338018046),
                     8.660366141587232, 23.74583810883663, (76, 82, 7, 0, 4, 109)),
    ("segm", False): (51.80081155512982,
                      (16.192894290519654, 11.600722789458686, 1.0180073632464541, 0, 0.27319931241244433,
                       7.784365700494497),
                      8.660366141587247, 23.754305427616465, (76, 82, 7, 0, 4, 109)),
}


def _coco(dataset):
    gt = COCO()
    gt.dataset = dataset
    gt.createIndex()
    return gt


def _evaluated(dataset, results, iou_type, **params):
    gt = _coco(copy.deepcopy(dataset))
    E = COCOeval(gt, gt.loadRes(copy.deepcopy(results)), iou_type)
    for name, value in params.items():
        setattr(E.params, name, value)
    E.evaluate()
    E.accumulate()
    return E


@pytest.fixture(scope="module")
def val2014(load_data):
    def make(iou_type):
        results = "fake_bbox_results.json" if iou_type == "bbox" else "fake_segm_results.json"
        return _evaluated(load_data("coco_val2014_100/instances_val2014_100.json"),
                          load_data(f"coco_val2014_100/{results}"), iou_type)
    return make


@pytest.mark.parametrize("iou_type, ties", sorted(PINNED))
def test_val2014_matches_tidecv(val2014, iou_type, ties):
    ap, main, false_pos, false_neg, counts = PINNED[iou_type, ties]
    r = val2014(iou_type).error_analysis(tidecv_ties=ties)
    assert list(r) == ["ap", "main", "special", "counts"]
    assert list(r["main"]) == list(MAIN) and list(r["counts"]) == list(MAIN)
    assert r["ap"] == pytest.approx(ap, abs=1e-9)
    assert [r["main"][k] for k in MAIN] == pytest.approx(main, abs=1e-9)
    assert r["special"] == pytest.approx({"FalsePos": false_pos, "FalseNeg": false_neg}, abs=1e-9)
    assert tuple(r["counts"][k] for k in MAIN) == counts


def test_ap_is_not_cocos_ap50(val2014):
    """tidecv's AP@50 counts categories that have only false positives."""
    E = val2014("bbox")
    E.summarize()
    assert E.stats[1] == pytest.approx(0.6970, abs=5e-5)
    assert E.error_analysis()["ap"] == pytest.approx(64.2050, abs=5e-5)


def _dataset(anns, images=(1, 2), cats=(1, 2)):
    return {
        "images": [{"id": i, "height": 100, "width": 100, "file_name": f"{i}.jpg"} for i in images],
        "categories": [{"id": c, "name": f"c{c}"} for c in cats],
        "annotations": [dict(a, id=n + 1, area=a["bbox"][2] * a["bbox"][3], iscrowd=a.get("iscrowd", 0))
                        for n, a in enumerate(anns)],
    }


def _gt(image_id, cat, box, **extra):
    return dict(image_id=image_id, category_id=cat, bbox=list(box), **extra)


def _dt(image_id, cat, box, score):
    return dict(image_id=image_id, category_id=cat, bbox=list(box), score=score)


A, FAR = (0, 0, 10, 10), (50, 50, 10, 10)
ZERO = {k: 0 for k in MAIN}


@pytest.mark.parametrize("case, gts, dts, params, counts, ap", [
    # Images 2 holds a true positive: with it left out the run sees only the miss.
    ("restricted_images", [_gt(1, 1, A), _gt(2, 1, A)], [_dt(2, 1, A, 0.9)], {"imgIds": [1]},
     {"Miss": 1}, 0.0),
    ("restricted_categories", [_gt(1, 1, A), _gt(1, 2, FAR)], [_dt(1, 2, A, 0.9)], {"catIds": [2]},
     {"Bkg": 1, "Miss": 1}, 0.0),
    ("no_detections", [_gt(1, 1, A), _gt(2, 2, A)], [], {}, {"Miss": 2}, 0.0),
    ("image_without_ground_truth", [_gt(1, 1, A)], [_dt(1, 1, A, 0.9), _dt(2, 2, A, 0.8)], {},
     {"Bkg": 1}, 50.0),
    ("category_without_detections", [_gt(1, 1, A), _gt(1, 2, FAR)], [_dt(1, 1, A, 0.9)], {},
     {"Miss": 1}, 50.0),
    ("crowd_only", [_gt(1, 1, A, iscrowd=1)], [_dt(1, 1, A, 0.9)], {}, {"Bkg": 1}, 0.0),
])
def test_defined_outputs(case, gts, dts, params, counts, ap):
    E = _evaluated(_dataset(gts), dts, "bbox", **params)
    for ties in (False, True):
        r = E.error_analysis(tidecv_ties=ties)
        assert r["counts"] == dict(ZERO, **counts), case
        assert r["ap"] == pytest.approx(ap)
        assert all(v >= 0 for v in r["main"].values())


def _rect(box):
    x, y, w, h = box
    return [[x, y, x + w, y, x + w, y + h, x, y + h]]


# A detection of category 2 over a ground truth of category 1 (IoU 0.33,
# 0.67, 0.05): below the foreground IoU the overlap with another category
# still tells "both" from background, which mask IoU must not lose to its
# pruning of such pairs.
@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
@pytest.mark.parametrize("det_box, counts", [
    ((10, 0, 20, 20), {"Both": 1, "Miss": 1}),
    ((4, 0, 20, 20), {"Cls": 1}),
    ((18, 0, 20, 20), {"Bkg": 1, "Miss": 1}),
])
def test_other_category_overlap_decides(iou_type, det_box, counts):
    gt_box = (0, 0, 20, 20)
    dataset = _dataset([_gt(1, 1, gt_box, segmentation=_rect(gt_box))], images=(1,))
    det = _dt(1, 2, det_box, 0.9)
    if iou_type == "segm":
        det = dict(det, segmentation=_rect(det_box))
        del det["bbox"]
    r = _evaluated(dataset, [det], iou_type).error_analysis()
    assert r["counts"] == dict(ZERO, **counts)


def test_dataset_image_order_decides_equal_scores():
    """A background box in image 2 and a true positive in image 1, both at
    0.5: listed first, image 2's false positive ranks first."""
    gts, dts = [_gt(1, 1, A)], [_dt(1, 1, A, 0.5), _dt(2, 1, FAR, 0.5)]
    assert _evaluated(_dataset(gts, images=(1, 2)), dts, "bbox").error_analysis()["ap"] == 100
    assert _evaluated(_dataset(gts, images=(2, 1)), dts, "bbox").error_analysis()["ap"] == 50


@pytest.mark.parametrize("images, ap", [((1, 2), 100), ((2, 1), 50)])
def test_file_route_keeps_the_dataset_order(tmp_path, images, ap):
    """evaluate() on files reads boxes into columns, without a COCO object;
    the dataset's image order still ranks equal scores."""
    import json

    import quillscore

    gts, dts = [_gt(1, 1, A)], [_dt(1, 1, A, 0.5), _dt(2, 1, FAR, 0.5)]
    (tmp_path / "gt.json").write_text(json.dumps(_dataset(gts, images=images)))
    (tmp_path / "dt.json").write_text(json.dumps(dts))
    E = quillscore.evaluate(tmp_path / "gt.json", tmp_path / "dt.json", "bbox")
    assert E.error_analysis()["ap"] == ap


def test_needs_accumulate():
    gt = _coco(_dataset([_gt(1, 1, A)]))
    E = COCOeval(gt, gt.loadRes([_dt(1, 1, A, 0.9)]), "bbox")
    with pytest.raises(RuntimeError, match="accumulate"):
        E.error_analysis()
    E.evaluate()
    with pytest.raises(RuntimeError, match="accumulate"):
        E.error_analysis()


def test_keypoints_have_no_breakdown():
    kp = {"images": [{"id": 1, "height": 50, "width": 50}], "categories": [{"id": 1, "name": "p"}],
          "annotations": [{"id": 1, "image_id": 1, "category_id": 1, "bbox": [0, 0, 10, 10], "area": 100,
                           "iscrowd": 0, "num_keypoints": 1, "keypoints": [5, 5, 2] * 17}]}
    results = [{"image_id": 1, "category_id": 1, "keypoints": [5, 5, 1] * 17, "score": 0.9}]
    E = _evaluated(kp, results, "keypoints")
    with pytest.raises(ValueError, match="keypoints"):
        E.error_analysis()

