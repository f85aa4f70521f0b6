"""COCO datasets and result sets in memory, with the lookups that COCO
evaluation code expects (`COCO`), built by the native JSON loader and
index builder."""

from __future__ import annotations

import copy
import gc
import itertools
import operator
import os
from collections import defaultdict

import numpy as np

from quillscore import _vireo
from quillscore import mask as mask_utils
from quillscore import plot

# The colour of crowd regions drawn by showAnns.
CROWD_TINT = np.array([2.0, 166.0, 101.0]) / 255


def _is_array_like(obj) -> bool:
    return hasattr(obj, "__iter__") and hasattr(obj, "__len__")


def _as_list(obj) -> list:
    return obj if _is_array_like(obj) else [obj]


class ResultsError(ValueError):
    """Detection results that cannot be evaluated against this dataset."""


def _built_on_read(name: str) -> property:
    """An attribute that a set read into column storage builds, with all the
    annotation dicts, the first time it is read or set."""
    private = "_" + name

    def get(self):
        if self._columns is not None:
            self._build_annotations()
        return getattr(self, private)

    def put(self, value):
        if self._columns is not None:
            self._build_annotations()
        setattr(self, private, value)

    return property(get, put)


class COCO:
    """A COCO dataset: `dataset` (the file's content), the indexes `anns`,
    `imgs`, `cats`, `imgToAnns`, `catToImgs`, and the familiar lookups.

    `annotation_file` is a path to a COCO JSON file (str, bytes or
    os.PathLike, as open() takes it), a dict already in that form, or None
    for an empty dataset."""

    dataset = _built_on_read("dataset")
    anns = _built_on_read("anns")
    imgToAnns = _built_on_read("imgToAnns")
    catToImgs = _built_on_read("catToImgs")

    def __init__(self, annotation_file=None):
        # A dataset or result set loaded from a file keeps its annotations
        # in column storage (a CompactBbox, CompactMasks or
        # CompactKeypoints), which evaluation reads directly, until anything
        # asks for the dicts.
        self._columns = None
        # The file it was read from, where it was: a report names it.
        self._source = None
        self.dataset: dict = {}
        self.anns: dict = {}
        self.cats: dict = {}
        self.imgs: dict = {}
        self.imgToAnns: defaultdict = defaultdict(list)
        self.catToImgs: defaultdict = defaultdict(list)
        if annotation_file is None:
            return
        if isinstance(annotation_file, dict):
            dataset = annotation_file
        else:
            self._source = annotation_file
            file = read_file(annotation_file)
            loaded = _columns_of(file, results=False)
            if loaded is not None:
                # The members but "annotations" (None until built, in its
                # place among them) are the file's.
                self._dataset, columns = loaded
                self._index_images_and_categories()
                self._columns = columns
                return
            dataset = read_json(file)
        if not isinstance(dataset, dict):
            raise ValueError(f"annotation file format {type(dataset).__name__} not supported: "
                             "expected a JSON object")
        self.dataset = dataset
        self.createIndex()

    def createIndex(self) -> None:
        """Rebuild the indexes from `dataset`."""
        dataset = self.dataset
        anns, img_to_anns, cat_to_imgs = {}, {}, {}
        if "annotations" in dataset:
            anns, img_to_anns, cat_to_imgs = _vireo.index_annotations(
                dataset["annotations"], "categories" in dataset)
        self.anns = anns
        self.imgToAnns = defaultdict(list, img_to_anns)
        self.catToImgs = defaultdict(list, cat_to_imgs)
        self._index_images_and_categories()

    def _index_images_and_categories(self) -> None:
        self.imgs = {img["id"]: img for img in self._dataset.get("images", ())}
        self.cats = {cat["id"]: cat for cat in self._dataset.get("categories", ())}

    def _build_annotations(self) -> None:
        """The annotation dicts of column storage, completed as loadRes
        completes results, and the indexes over them."""
        columns, self._columns = self._columns, None
        self._dataset["annotations"] = columns.annotations()
        self.createIndex()

    def annotation_columns(self, iou_type: str):
        """The column storage evaluation of `iou_type` can read instead of
        the annotation dicts: that of a set loaded from a file whose dicts
        nobody has asked for yet, when it holds the geometry the type needs
        (masks for segm and boundary, keypoints for keypoints, a box in
        every record for bbox). None otherwise."""
        columns = self._columns
        if iou_type in ("segm", "boundary"):
            return columns if isinstance(columns, _vireo.CompactMasks) else None
        if iou_type == "keypoints":
            return columns if isinstance(columns, _vireo.CompactKeypoints) else None
        if iou_type == "bbox" and columns is not None and columns.boxes_complete:
            return columns
        return None

    def __getstate__(self) -> dict:
        if self._columns is not None:
            self._build_annotations()
        return self.__dict__.copy()

    def __setstate__(self, state: dict) -> None:
        # The state of a set pickled before its attributes were built on
        # read names them plainly.
        state.setdefault("_columns", None)
        for name in ("dataset", "anns", "imgToAnns", "catToImgs"):
            if name in state:
                state["_" + name] = state.pop(name)
        self.__dict__.update(state)

    def info(self) -> None:
        """Print the dataset's "info" member."""
        for key, value in self._dataset.get("info", {}).items():
            print(f"{key}: {value}")

    # -- lookups ------------------------------------------------------------

    def getAnnIds(self, imgIds=[], catIds=[], areaRng=[], iscrowd=None) -> list:  # noqa: B006
        """Ids of the annotations on the given images, of the given
        categories, with area strictly inside areaRng, and with the given
        crowd flag; an empty filter passes everything."""
        imgIds, catIds = _as_list(imgIds), _as_list(catIds)
        if len(imgIds) == len(catIds) == len(areaRng) == 0:
            anns = self.dataset.get("annotations", [])
        else:
            if len(imgIds):
                anns = list(itertools.chain.from_iterable(
                    self.imgToAnns[i] for i in imgIds if i in self.imgToAnns))
            else:
                anns = self.dataset.get("annotations", [])
            if len(catIds):
                wanted = _lookup_set(catIds)
                anns = [a for a in anns if a["category_id"] in wanted]
            if len(areaRng):
                lo, hi = areaRng[0], areaRng[1]
                anns = [a for a in anns if lo < a["area"] < hi]
        if iscrowd is not None:
            return [a["id"] for a in anns if a["iscrowd"] == iscrowd]
        return [a["id"] for a in anns]

    def getCatIds(self, catNms=[], supNms=[], catIds=[]) -> list:  # noqa: B006
        """Ids of the categories with the given names, supercategories and
        ids; an empty filter passes everything."""
        catNms, supNms, catIds = _as_list(catNms), _as_list(supNms), _as_list(catIds)
        cats = self._dataset.get("categories", [])
        if len(catNms):
            cats = [c for c in cats if c["name"] in catNms]
        if len(supNms):
            cats = [c for c in cats if c["supercategory"] in supNms]
        if len(catIds):
            cats = [c for c in cats if c["id"] in catIds]
        return [c["id"] for c in cats]

    def getImgIds(self, imgIds=[], catIds=[]) -> list:  # noqa: B006
        """Ids of the given images that hold every one of the given
        categories; with no images given, of all images holding them."""
        imgIds, catIds = _as_list(imgIds), _as_list(catIds)
        if len(imgIds) == len(catIds) == 0:
            return list(self.imgs.keys())
        ids = set(imgIds)
        for i, cat in enumerate(catIds):
            if i == 0 and len(ids) == 0:
                ids = set(self.catToImgs[cat])
            else:
                ids &= set(self.catToImgs[cat])
        return list(ids)

    def loadAnns(self, ids=[]) -> list:  # noqa: B006
        return _load(self.anns, ids)

    def loadCats(self, ids=[]) -> list:  # noqa: B006
        return _load(self.cats, ids)

    def loadImgs(self, ids=[]) -> list:  # noqa: B006
        return _load(self.imgs, ids)

    def showAnns(self, anns, draw_bbox: bool = False):
        """Draw annotations on matplotlib's current axes: polygons and
        masks in random colours (crowd masks in one fixed colour),
        keypoints joined by their category's skeleton and, with draw_bbox,
        boxes. Annotations with captions instead are printed. Needs
        matplotlib (PlotUnavailable otherwise)."""
        if len(anns) == 0:
            return 0
        first = anns[0]
        if "segmentation" not in first and "keypoints" not in first:
            if "caption" not in first:
                raise ValueError("showAnns draws annotations with a 'segmentation' or "
                                 "'keypoints' and prints those with a 'caption'; "
                                 "these have neither")
            for ann in anns:
                print(ann["caption"])
            return None
        plot.require_matplotlib("showAnns")
        import matplotlib.pyplot as plt
        from matplotlib.collections import PatchCollection
        from matplotlib.patches import Polygon

        ax = plt.gca()
        ax.set_autoscale_on(False)
        outlines, colours = [], []
        for ann in anns:
            colour = (np.random.random(3) * 0.6 + 0.4).tolist()
            segm = ann.get("segmentation")
            if isinstance(segm, list):
                for poly in segm:
                    outlines.append(Polygon(np.asarray(poly, dtype=np.float64).reshape(-1, 2)))
                    colours.append(colour)
            elif segm is not None:
                compressed = isinstance(segm.get("counts"), (str, bytes))
                mask = mask_utils.decode(segm if compressed else self.annToRLE(ann))
                tint = CROWD_TINT if ann.get("iscrowd") == 1 else np.random.random(3)
                overlay = np.empty(mask.shape + (4,))
                overlay[..., :3] = tint
                overlay[..., 3] = mask * 0.5
                ax.imshow(overlay)
            if isinstance(ann.get("keypoints"), list):
                self._draw_keypoints(plt, ann, colour)
            if draw_bbox:
                x, y, w, h = ann["bbox"]
                outlines.append(Polygon(np.array([[x, y], [x, y + h], [x + w, y + h], [x + w, y]])))
                colours.append(colour)
        ax.add_collection(PatchCollection(outlines, facecolor=colours, linewidths=0, alpha=0.4))
        ax.add_collection(PatchCollection(outlines, facecolor="none", edgecolors=colours, linewidths=2))
        return None

    def _draw_keypoints(self, plt, ann: dict, colour) -> None:
        """Skeleton edges between visible points, then the visible points
        (outlined in black) and the labelled-and-visible ones over them."""
        x, y, v = np.asarray(ann["keypoints"], dtype=np.float64).reshape(-1, 3).T
        # skeleton pairs count keypoints from 1
        for edge in np.asarray(self.cats[ann["category_id"]].get("skeleton", []), dtype=np.int64) - 1:
            if np.all(v[edge] > 0):
                plt.plot(x[edge], y[edge], linewidth=3, color=colour)
        plt.plot(x[v > 0], y[v > 0], "o", markersize=8, markerfacecolor=colour,
                 markeredgecolor="k", markeredgewidth=2)
        plt.plot(x[v > 1], y[v > 1], "o", markersize=8, markerfacecolor=colour,
                 markeredgecolor=colour, markeredgewidth=2)

    # -- masks --------------------------------------------------------------

    def annToRLE(self, ann: dict) -> dict:
        """The annotation's segmentation as one compressed RLE dict."""
        img = self.imgs[ann["image_id"]]
        h, w = img["height"], img["width"]
        segm = ann["segmentation"]
        if isinstance(segm, list):
            return mask_utils.merge(mask_utils.frPyObjects(segm, h, w))
        if isinstance(segm["counts"], list):
            return mask_utils.frPyObjects(segm, h, w)
        return segm

    def annToMask(self, ann: dict) -> np.ndarray:
        """The annotation's segmentation as an (h, w) array of 0 and 1."""
        return mask_utils.decode(self.annToRLE(ann))

    # -- results ------------------------------------------------------------

    def loadRes(self, resFile) -> COCO:
        """A result set over this dataset's images and categories.

        `resFile` is a path to a results JSON file, a list of result dicts,
        or an (N, 7) array of rows [image_id, x, y, w, h, score,
        category_id]. Each result is completed as evaluation expects:
        box results get "area" (w * h), segmentation results "area" and
        "bbox" from their mask, keypoint results "area" and "bbox" from the
        keypoints' extent; every result gets "id" (its 1-based position)
        and "iscrowd" 0. The dicts of a given list are completed in place.
        An empty result list gives an empty result set.

        Box, mask and keypoint results from a file are read into column
        storage, and their dicts built the first time anything reads
        `dataset`, `anns`, `imgToAnns` or `catToImgs`: evaluation alone
        never needs them."""
        res = COCO()
        # Read past the annotations, which these members do not need built.
        res.dataset["images"] = list(self._dataset.get("images", []))
        columns = None
        if isinstance(resFile, FILE_TYPES):
            res._source = resFile
            resFile = read_file(resFile)
            loaded = _columns_of(resFile, results=True)
            # Results naming images this dataset lacks: the dict route says so.
            if loaded is not None and loaded[1].valid_images(list(self.imgs)):
                columns = loaded[1]
        if columns is None:
            anns = self.result_list(resFile)
            complete_results(anns, self)
        res.dataset["categories"] = copy.deepcopy(self._dataset.get("categories", []))
        if columns is None:
            res.dataset["annotations"] = anns
        res.createIndex()
        res._columns = columns
        return res

    def result_list(self, resFile) -> list:
        """The result dicts of a path, a list or an (N, 7) array, checked to
        name only this dataset's images; not yet completed."""
        if isinstance(resFile, FILE_TYPES):
            anns = read_json(resFile)
        elif isinstance(resFile, np.ndarray):
            anns = self.loadNumpyAnnotations(resFile)
        else:
            anns = resFile
        if not isinstance(anns, list):
            raise ResultsError("results must be a list of result dicts")
        unknown = set(map(operator.itemgetter("image_id"), anns)) - self.imgs.keys()
        if unknown:
            raise ResultsError(f"results name {len(unknown)} image id(s) not in the dataset, "
                               f"e.g. {sorted(unknown, key=repr)[0]!r}")
        return anns

    @staticmethod
    def loadNumpyAnnotations(data: np.ndarray) -> list:
        """Result dicts from an (N, 7) array of rows [image_id, x, y, w, h,
        score, category_id]."""
        data = np.asarray(data)
        if data.ndim != 2 or data.shape[1] != 7:
            raise ResultsError(f"expected an (N, 7) array of results, got shape {data.shape}")
        return [{"image_id": int(row[0]), "bbox": [row[1], row[2], row[3], row[4]],
                 "score": row[5], "category_id": int(row[6])} for row in data]


# What the native loaders take as a file: a path as open() takes it, or the
# bytes of a file already read (`_vireo.read_file`).
FILE_TYPES = (str, bytes, os.PathLike, _vireo.FileBytes)


def file_name(file) -> str:
    """A file as messages name it: the path as given, with bytes that the
    file system encoding cannot decode as Python shows them (os.fsdecode)."""
    return os.fsdecode(file.name if isinstance(file, _vireo.FileBytes) else file)


def add_file_note(e: BaseException, file) -> None:
    """Says on a failed read or parse which file it was."""
    e.add_note(f"while reading {file_name(file)}")


def _columns_of(file, *, results: bool):
    """(the other members, the annotations in column storage) of a dataset
    or results file's bytes: keypoints where the first annotation has them
    (person files carry masks too), else masks where it has a segmentation
    (a file with boxes and masks serves both kinds of evaluation), else
    boxes; None when none holds them, for the dict route to read the file
    and say what is wrong. Results must each have a score there."""
    loaders = (_vireo.load_compact_bbox,)
    # A dataset's images are built before its first annotation is read: a
    # reader that would refuse that annotation is not tried there.
    if results or _first_annotation_has(file, b'"segmentation"', results):
        loaders = (_vireo.load_compact_masks,) + loaders
    if _first_annotation_has(file, b'"keypoints"', results):
        loaders = (_vireo.load_compact_keypoints,) + loaders
    for load in loaders:
        try:
            return load(file, results=results, require_score=results)
        except ValueError:
            continue
    return None


def _first_annotation_has(file, key: bytes, results: bool) -> bool:
    """Whether `key` shows in the file's first annotation, judged from its
    bytes around the first record (a guess that only picks which column
    reader to try first)."""
    data = memoryview(file)
    start = 0 if results else _find(data, b'"annotations"')
    return start >= 0 and key in bytes(data[start:start + 8192])


def _find(data: memoryview, needle: bytes, step: int = 4 << 20) -> int:
    """The first place of `needle` in `data`, read a slice at a time; -1."""
    for at in range(0, len(data), step):
        found = bytes(data[at:at + step + len(needle)]).find(needle)
        if found >= 0:
            return at + found
    return -1


def read_file(path) -> _vireo.FileBytes:
    """A file's bytes, read once; a failure says which file it was."""
    if isinstance(path, _vireo.FileBytes):
        return path
    try:
        return _vireo.read_file(path)
    except (OSError, ValueError) as e:
        add_file_note(e, path)
        raise


def read_json(path) -> object:
    """A JSON file's content; a failure says which file it was."""
    try:
        return _vireo.load_json(path)
    except (OSError, ValueError) as e:
        add_file_note(e, path)
        raise


def missing_member(records: list, key: str) -> int:
    """Position of the first record whose `key` is absent or None; -1 when
    every record has a value. Whole result files pass through here, so the
    common case (nothing missing) is one pass at C speed."""
    try:
        values = map(dict.get, records, itertools.repeat(key))
        if not any(map(operator.is_, values, itertools.repeat(None))):
            return -1
    except TypeError:
        pass  # a record that is not a dict; the engine will name it
    for i, record in enumerate(records):
        if isinstance(record, dict) and record.get(key) is None:
            return i
    return -1


def reject_missing(records: list, key: str, what: str, *, error=ValueError, listed=None) -> None:
    """Raise `error` "{what} {i} has no '{key}'" for the first record
    without `key`, i its position in `listed` (the list the records were
    taken from, for a message that finds the record in the file; default:
    `records` itself)."""
    i = missing_member(records, key)
    if i < 0:
        return
    if listed is not None and listed is not records:
        record = records[i]
        i = next((j for j, r in enumerate(listed) if r is record), i)
    raise error(f"{what} {i} has no {key!r}")


def _lookup_set(values):
    try:
        return set(values)
    except TypeError:  # unhashable members: fall back to list membership
        return values


def _load(index: dict, ids) -> list:
    if _is_array_like(ids):
        return [index[i] for i in ids]
    if isinstance(ids, int):
        return [index[ids]]
    return []


def complete_results(anns: list, gt: COCO) -> None:
    """Fill in what evaluation reads, by the kind of the first result, with
    the collector held off: the new lists would otherwise set off
    collections that traverse every result over and over, finding
    nothing."""
    if not anns:
        return
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        _complete_by_kind(anns, gt)
    finally:
        if was_enabled:
            gc.enable()


def _complete_by_kind(anns: list, gt: COCO) -> None:
    first = anns[0]
    if "caption" in first:
        raise ResultsError("caption results cannot be evaluated")
    if "bbox" in first and not first["bbox"] == []:
        _vireo.prepare_bbox_results(anns)
    elif "segmentation" in first:
        segms = [a["segmentation"] for a in anns]
        for i, segm in enumerate(segms):
            if not isinstance(segm, dict):
                segms[i] = _polygons_rle(segm, anns[i]["image_id"], gt)
        _vireo.prepare_segm_results(anns, segms)
    elif "keypoints" in first:
        keypoints = [a["keypoints"] for a in anns]
        if _vireo.prepare_keypoint_results(anns, keypoints):
            return
        extents = _keypoint_extents(keypoints)
        for i, a in enumerate(anns):
            if extents is None:
                s = a["keypoints"]
                x0, x1, y0, y1 = np.min(s[0::3]), np.max(s[0::3]), np.min(s[1::3]), np.max(s[1::3])
            else:
                x0, x1, y0, y1 = extents[i]
            a["area"] = (x1 - x0) * (y1 - y0)
            a["id"] = i + 1
            a["bbox"] = [x0, y0, x1 - x0, y1 - y0]
    else:
        raise ResultsError("results carry neither 'bbox', 'segmentation' nor 'keypoints'")


def _keypoint_extents(keypoints: list):
    """[x0, x1, y0, y1] of every keypoint list (over all its points, seen or
    not), in one array operation when the lists are alike; None when they
    are not, for the caller to take them one by one."""
    try:
        a = np.asarray(keypoints, dtype=np.float64)
    except (ValueError, TypeError):
        return None
    if a.ndim != 2 or a.shape[1] == 0 or a.shape[1] % 3:
        return None
    x, y = a[:, 0::3], a[:, 1::3]
    return np.stack([x.min(1), x.max(1), y.min(1), y.max(1)], axis=1).tolist()


def _polygons_rle(segm, image_id, gt: COCO) -> dict:
    """Polygons as one RLE dict at the image's size."""
    img = gt.imgs[image_id]
    rle = mask_utils.frPyObjects(segm, img["height"], img["width"])
    return mask_utils.merge(rle) if isinstance(rle, list) else rle
