"""YOLO and Pascal VOC: the writers' round trip against COCO, the form detection, and each
fault of the readers named by its file and entry."""

import io
import json
import os
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from corvane.tessmark.coco import CocoFormatError, DatasetFormatError, coco_document, read_coco
from corvane.tessmark.formats import describe_format, read_dataset
from corvane.tessmark.voc import VocFormatError, read_voc, write_voc
from corvane.tessmark.yolo import YoloFormatError, read_yolo, write_yolo

CLASSES = ["cat", "dog", "bird"]


def make_splits(seed=0):
    """Images of several sizes, float boxes, a negative and a crowd region per split."""
    rng = np.random.default_rng(seed)
    splits = {}
    for split, count in (("train", 4), ("val", 2)):
        items = []
        for k in range(count):
            height, width = rng.integers(20, 60, 2)
            pixels = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
            boxes = []
            for _ in range(0 if k == 1 else 3):
                x1, y1 = rng.uniform(0, width / 2), rng.uniform(0, height / 2)
                x2, y2 = rng.uniform(x1 + 1, width), rng.uniform(y1 + 1, height)
                boxes.append((x1, y1, x2, y2, rng.integers(0, 3)))
            boxes.append((0, 0, width, height, 1))  # reaching both edges
            crowd = [(1.5, 2.5, 10, 12, 2)] if k == 0 else []
            items.append(
                (
                    f"{split}-{k}.jpg",
                    pixels,
                    np.array(boxes, np.float32),
                    np.array(crowd, np.float32).reshape(-1, 5),
                )
            )
        splits[split] = items
    return splits


def write_coco(folder, splits):
    os.makedirs(folder / "images")
    for split, items in splits.items():
        entries = []
        for name, pixels, boxes, crowd in items:
            file_name = f"images/{name}.png"
            Image.fromarray(pixels).save(folder / file_name)
            entries.append((file_name, pixels.shape[1], pixels.shape[0], boxes, crowd))
        (folder / f"{split}.json").write_text(json.dumps(coco_document(CLASSES, entries)))


@pytest.fixture
def yolo(tmp_path):
    return tmp_path, Path(write_yolo(tmp_path, CLASSES, make_splits()))


@pytest.fixture
def voc(tmp_path):
    return tmp_path, write_voc(tmp_path, CLASSES, make_splits())


def test_yolo_and_voc_read_back_what_coco_reads(tmp_path):
    splits = make_splits()
    write_coco(tmp_path / "coco", splits)
    data_yaml = write_yolo(tmp_path / "yolo", CLASSES, splits)
    root = write_voc(tmp_path / "voc", CLASSES, splits)
    assert [describe_format(p) for p in (tmp_path / "coco" / "val.json", data_yaml, root)] == [
        "COCO",
        "YOLO",
        "Pascal VOC",
    ]
    for split, items in splits.items():
        coco = read_dataset(tmp_path / "coco" / f"{split}.json")
        for other in (read_dataset(data_yaml, split), read_dataset(root, split)):
            assert other.classes == coco.classes == tuple(CLASSES)
            assert len(other) == len(coco) == len(items)
            for theirs, ours in zip(coco.images, other.images):
                assert (ours.width, ours.height) == (theirs.width, theirs.height)
                assert os.path.isfile(ours.path)
                np.testing.assert_allclose(ours.boxes, theirs.boxes, atol=1e-5, rtol=0)
        voc = read_dataset(root, split)
        for theirs, ours, item in zip(coco.images, voc.images, items):
            np.testing.assert_array_equal(theirs.crowd, item[3])
            np.testing.assert_allclose(ours.crowd, theirs.crowd, atol=1e-5, rtol=0)
    with pytest.raises(FileExistsError, match="already exist"):
        write_yolo(tmp_path / "yolo", CLASSES, splits)
    with pytest.raises(FileExistsError, match="already exist"):
        write_voc(tmp_path / "voc", CLASSES, splits)


def test_forms_that_are_not_data(tmp_path):
    (tmp_path / "data.yaml").write_text("names: [a]\n")
    for path, expected in (
        (tmp_path, "for YOLO, give its data.yaml"),
        (tmp_path / "notes.txt", "not found"),
        (tmp_path / "data.yaml", "no 'train' entry"),
    ):
        with pytest.raises(DatasetFormatError, match="^" + str(path)) as caught:
            read_dataset(path)
        assert expected in str(caught.value)
    assert not isinstance(caught.value, CocoFormatError)
    (tmp_path / "notes.txt").write_text("x")
    with pytest.raises(DatasetFormatError, match="a COCO annotations file"):
        describe_format(tmp_path / "notes.txt")


class TestYolo:
    def test_layouts_users_bring(self, yolo):
        folder, _ = yolo
        os.rename(folder / "labels" / "train" / "train-2.txt", folder / "elsewhere.txt")
        (folder / "images" / "val.txt").write_text("./val/val-1.png\n\nval/val-0.png\n")
        (folder / "conf").mkdir()
        (folder / "conf" / "data.yaml").write_text(
            "path: ..\ntrain: [images/train]\nval: images/val.txt\n"
            "names: {1: dog, 0: cat, 2: bird}\n"
        )
        train = read_yolo(folder / "conf" / "data.yaml")
        assert train.classes == tuple(CLASSES)
        assert [i.file_name for i in train.images][:2] == [
            "images/train/train-0.png",
            "images/train/train-1.png",
        ]
        assert train.images[2].boxes.shape == (0, 5)  # no label file: a negative
        val = read_yolo(folder / "conf" / "data.yaml", "val")
        assert [i.file_name for i in val.images] == ["images/val/val-1.png", "images/val/val-0.png"]

    # A change to the written set, and the texts its error must contain.
    BAD_LABELS = {
        "class out of range": ("7 0.5 0.5 0.1 0.1", ["class 7 is out of range", "(0 to 2)"]),
        "class not whole": ("1.5 0.5 0.5 0.1 0.1", ["class 1.5 is not a class index"]),
        "coordinate outside 0..1": ("0 1.5 0.5 0.1 0.1", ["cx 1.5 outside 0..1"]),
        "wrong number of fields": ("0 0.5 0.5 0.1", ["4 fields", "'class cx cy w h'"]),
        "not a number": ("0 0.5 abc 0.1 0.1", ["'abc' is not a number"]),
        "box past the edge": ("0 0.98 0.5 0.1 0.1", ["reaches outside its image", "px past"]),
        "empty box": ("2 0.5 0.5 0 0.1", ["width or height of 0"]),
    }

    @pytest.mark.parametrize("case", BAD_LABELS, ids=list(BAD_LABELS))
    def test_label_fault_names_the_file_and_line(self, yolo, case):
        folder, data_yaml = yolo
        row, expected = self.BAD_LABELS[case]
        label = folder / "labels" / "train" / "train-0.txt"
        lines = label.read_text().splitlines()
        label.write_text("\n".join([*lines, "", row]) + "\n")
        with pytest.raises(YoloFormatError, match="^" + str(data_yaml)) as caught:
            read_yolo(data_yaml)
        (problem,) = caught.value.problems
        assert problem.startswith(f"labels/train/train-0.txt line {len(lines) + 2}: ")
        for text in expected:
            assert text in problem

    BAD_YAML = {
        "no names": ("train: images/train\n", "no 'names'"),
        "names mapping with a gap": ("names: {0: a, 2: b}\ntrain: x\n", "indices 0 to 1"),
        "name not a text": ("names: [a, null]\ntrain: x\n", "'names' entry 1"),
        "names repeated": ("names: [a, a]\ntrain: x\n", "'a' appears more than once"),
        "split missing": ("names: [a]\nval: x\n", "no 'train' entry"),
        "split not found": ("names: [a]\ntrain: nowhere\n", "neither an image folder"),
        "not YAML": ("names: [a,\ntrain: x\n", "not YAML: expected ',' or ']'"),
        "not a mapping": ("- a\n", "the top level must be a mapping"),
    }

    @pytest.mark.parametrize("case", BAD_YAML, ids=list(BAD_YAML))
    def test_data_yaml_fault(self, tmp_path, case):
        text, expected = self.BAD_YAML[case]
        (tmp_path / "data.yaml").write_text(text)
        with pytest.raises(YoloFormatError, match="^" + str(tmp_path / "data.yaml")) as caught:
            read_yolo(tmp_path / "data.yaml")
        assert expected in str(caught.value)

    def test_every_fault_is_reported_at_once(self, yolo):
        folder, data_yaml = yolo
        (folder / "labels" / "val" / "val-0.txt").write_text(
            "0 0.5 0.5 0.1 0.1\n9 0.5 0.5 0.1 0.1\n0 2 0.5 0.1 0.1\n"
        )
        (folder / "images" / "val" / "val-1.png").write_text("not an image")
        (folder / "list.txt").write_text(
            "images/val/val-0.png\nimages/val/gone.png\nimages/val/val-1.png\n"
        )
        data_yaml.write_text(data_yaml.read_text().replace("val: images/val", "val: list.txt"))
        with pytest.raises(YoloFormatError) as caught:
            read_yolo(data_yaml, "val")
        problems = caught.value.problems
        assert [p.split(": ")[0] for p in problems] == [
            "labels/val/val-0.txt line 2",
            "labels/val/val-0.txt line 3",
            "list.txt line 2",
            "list.txt line 3",
        ]
        assert "image file not found" in problems[2]
        assert "cannot read the image file" in problems[3]


class TestVoc:
    def test_classes_in_first_seen_order_the_same_for_both_splits(self, tmp_path):
        pixels = np.zeros((8, 8, 3), np.uint8)
        box = lambda cls: np.array([[1, 1, 5, 5, cls]], np.float32)  # noqa: E731
        splits = {
            "train": [("a", pixels, box(1)), ("b", pixels, box(0), box(0))],
            "val": [("c", pixels, box(2), box(0)), ("d", pixels, box(0))],
        }
        root = write_voc(tmp_path, CLASSES, splits)
        assert read_voc(root, "val").classes == tuple(CLASSES)  # labelmap.txt keeps the order
        os.remove(tmp_path / "labelmap.txt")
        expected = ("dog", "cat", "bird")  # val's own order would be bird, cat
        assert read_voc(root).classes == read_voc(root, "val").classes == expected
        assert read_voc(root, "val").images[0].crowd.tolist() == [[1, 1, 5, 5, 1]]
        fixed = read_voc(root, "val", classes=["bird", "dog", "cat"])
        assert fixed.classes == ("bird", "dog", "cat")
        assert fixed.images[0].boxes.tolist() == [[1, 1, 5, 5, 0]]

    def test_clip_and_declared_size(self, voc):
        folder, root = voc
        xml = folder / "Annotations" / "train-0.xml"
        text = xml.read_text()
        width = int(text.split("<width>")[1].split("<")[0])
        xmax = text.split("<xmax>")[1].split("<")[0]
        xml.write_text(text.replace(f"<xmax>{xmax}<", f"<xmax>{width + 0.4}<", 1))
        with pytest.raises(VocFormatError, match="0.4 px past the edge"):
            read_voc(root)
        clipped = read_voc(root, clip=0.5)
        assert clipped.clipped == 1 and clipped.images[0].boxes[0, 2] == width
        # A wrong declared size is the one fault of its image: its boxes are not checked.
        xml.write_text(xml.read_text().replace(f"<width>{width}<", "<width>10<"))
        with pytest.raises(VocFormatError) as caught:
            read_voc(root)
        (problem,) = caught.value.problems
        assert problem.startswith("Annotations/train-0.xml: the file is ")
        assert "<size> says 10x" in problem

    # A change to one annotation file, and the texts its error must contain.
    BAD_XML = {
        "not XML": (
            lambda t: t.replace("</size>", ""),
            ["Annotations/train-0.xml: not XML: mismatched tag: line"],
        ),
        "missing bndbox value": (
            lambda t: t.replace("<xmax>", "<other>", 1).replace("</xmax>", "</other>", 1),
            ["object[1]", "<bndbox> has no <xmax>"],
        ),
        "bndbox value not a number": (
            lambda t: t.replace("<ymin>", "<ymin>abc", 1),
            ["object[1]", "<bndbox><ymin> 'abc", "is not a number"],
        ),
        "no name": (lambda t: t.replace("<name>cat</name>", "<name/>", 1), ["no <name>"]),
        "unknown class": (
            lambda t: t.replace("<name>cat</name>", "<name>cow</name>", 1),
            ["(cow): class 'cow' is not among the classes (cat, dog, bird)"],
        ),
        "inverted box": (
            lambda t: t.replace("<xmin>", "<xmin>9", 1),
            ["object[1]", "width or height of 0 or less"],
        ),
    }

    @pytest.mark.parametrize("case", BAD_XML, ids=list(BAD_XML))
    def test_annotation_fault_names_the_file_and_element(self, voc, case):
        folder, root = voc
        change, expected = self.BAD_XML[case]
        xml = folder / "Annotations" / "train-0.xml"
        xml.write_text(change(xml.read_text()))
        with pytest.raises(VocFormatError, match="^" + str(root)) as caught:
            read_voc(root)
        (problem,) = caught.value.problems
        assert problem.startswith("Annotations/train-0.xml")
        for text in expected:
            assert text in problem

    def test_every_fault_is_reported_at_once(self, voc):
        folder, root = voc
        os.remove(folder / "JPEGImages" / "val-0.png")
        os.remove(folder / "Annotations" / "val-1.xml")
        main = folder / "ImageSets" / "Main"
        (main / "val.txt").write_text((main / "val.txt").read_text() + "\nval-0\n")
        with pytest.raises(VocFormatError) as caught:
            read_voc(root, "val", classes=["dog"])
        problems = caught.value.problems
        assert problems[0] == "ImageSets/Main/val.txt line 3: 'val-0' appears more than once"
        assert problems[1].startswith("Annotations/val-0.xml: image file not found")
        assert all(p.startswith("Annotations/val-0.xml object[") for p in problems[2:-1])
        assert problems[-1] == (
            "Annotations/val-1.xml: annotation file not found "
            "(listed in ImageSets/Main/val.txt line 2)"
        )
        with pytest.raises(VocFormatError, match="ImageSets/Main/test.txt not found"):
            read_voc(root, "test")


def _cut_short(path, pixels, kind):
    """``path`` rewritten as the first half of a ``kind`` file of ``pixels``: an interrupted
    copy, whose header still reads."""
    encoded = io.BytesIO()
    Image.fromarray(pixels).save(encoded, format=kind)
    Path(path).write_bytes(encoded.getvalue()[: len(encoded.getvalue()) // 2])


@pytest.mark.parametrize("kind", ["PNG", "JPEG"])
@pytest.mark.parametrize("form", ["COCO", "YOLO", "Pascal VOC"])
def test_an_image_cut_short_is_refused_with_the_label_faults(tmp_path, form, kind):
    splits = make_splits()
    pixels = splits["train"][0][1]
    if form == "COCO":
        write_coco(tmp_path, splits)
        path, image = tmp_path / "train.json", tmp_path / "images" / "train-0.jpg.png"
        document = json.loads(path.read_text())
        document["annotations"][-1]["category_id"] = 99
        path.write_text(json.dumps(document))
        label_fault, read = "category_id 99 is not in categories", read_coco
    elif form == "YOLO":
        path = Path(write_yolo(tmp_path, CLASSES, splits))
        image = tmp_path / "images" / "train" / "train-0.png"
        with open(tmp_path / "labels" / "train" / "train-1.txt", "a") as labels:
            labels.write("9 0.5 0.5 0.1 0.1\n")
        label_fault, read = "class 9 is out of range", read_yolo
    else:
        path = Path(write_voc(tmp_path, CLASSES, splits))
        image = tmp_path / "JPEGImages" / "train-0.png"
        xml = tmp_path / "Annotations" / "train-1.xml"
        xml.write_text(xml.read_text().replace("<name>dog</name>", "<name>cow</name>", 1))
        label_fault, read = "class 'cow' is not among the classes", read_voc
    _cut_short(image, pixels, kind)
    with pytest.raises(DatasetFormatError) as caught:
        read(path)
    message = str(caught.value)
    assert message.startswith(f"{path}: 2 problems:")
    assert f"cannot decode the image file {image}: " in message
    assert label_fault in message
    # Only the labels are read without the whole decode.
    with pytest.raises(DatasetFormatError) as caught:
        read(path, decode=False)
    (problem,) = caught.value.problems
    assert label_fault in problem
