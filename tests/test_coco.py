"""The COCO reader, its checks of bad input, clipping, crowds, EXIF orientation, the writer's
round trip, and the letterbox."""

import csv
import json

import numpy as np
import pytest
import tensorflow as tf
from PIL import Image

from corvane.tessmark.coco import (
    CocoFormatError,
    Letterbox,
    coco_document,
    image_header,
    letterbox_image,
    read_coco,
    read_image,
)
from corvane.tessmark.data import coco_training_elements, coco_validation_samples


def picture(path, width, height, format="PNG", value=100):
    path.parent.mkdir(parents=True, exist_ok=True)
    Image.fromarray(np.full((height, width, 3), value, np.uint8)).save(path, format=format)


@pytest.fixture
def dataset(tmp_path):
    """Three images (one a negative, one a JPEG), categories listed out of id order."""
    picture(tmp_path / "img" / "a.png", 64, 48)
    picture(tmp_path / "img" / "b.jpg", 30, 40, format="JPEG")
    picture(tmp_path / "img" / "empty.png", 20, 20)
    document = {
        "images": [
            {"id": 10, "file_name": "img/a.png", "width": 64, "height": 48},
            {"id": 4, "file_name": "img/b.jpg", "width": 30, "height": 40},
            {"id": 7, "file_name": "img/empty.png", "width": 20, "height": 20},
        ],
        "annotations": [
            {"id": 1, "image_id": 10, "category_id": 9, "bbox": [1.5, 2, 10, 20], "iscrowd": 0},
            {"id": 2, "image_id": 4, "category_id": 3, "bbox": [0, 0, 30, 40]},
            {"id": 3, "image_id": 10, "category_id": 3, "bbox": [40, 8, 24, 40]},
            {"id": 4, "image_id": 10, "category_id": 9, "bbox": [0, 0, 64, 48], "iscrowd": 1},
        ],
        "categories": [{"id": 9, "name": "cat"}, {"id": 3, "name": "dog"}],
    }
    return tmp_path, document


def write(folder, document, name="ann.json"):
    path = folder / name
    path.write_text(json.dumps(document) if not isinstance(document, str) else document)
    return path


class TestReading:
    def test_classes_images_and_boxes_in_the_files_order(self, dataset):
        folder, document = dataset
        result = read_coco(write(folder, document))
        assert result.classes == ("cat", "dog") and result.category_ids == (9, 3)
        assert [image.id for image in result.images] == [10, 4, 7]
        a, b, empty = result.images
        assert (a.width, a.height, b.width, b.height) == (64, 48, 30, 40)
        assert a.path == str(folder / "img" / "a.png")
        # [x1, y1, x2, y2, class index]; the crowd region is not an object
        np.testing.assert_array_equal(a.boxes, [[1.5, 2, 11.5, 22, 0], [40, 8, 64, 48, 1]])
        np.testing.assert_array_equal(b.boxes, [[0, 0, 30, 40, 1]])
        assert empty.boxes.shape == (0, 5) and empty.boxes.dtype == np.float32

    def test_images_folder_apart_from_the_annotations(self, dataset, tmp_path_factory):
        folder, document = dataset
        elsewhere = tmp_path_factory.mktemp("annotations")
        path = write(elsewhere, document)
        with pytest.raises(CocoFormatError, match="not found"):
            read_coco(path)  # the default is the annotations file's own folder
        assert read_coco(path, images_dir=folder).images[0].path == str(folder / "img" / "a.png")

    def test_sizes_missing_from_the_entries_come_from_the_files(self, dataset):
        folder, document = dataset
        for image in document["images"]:
            del image["width"], image["height"]
        result = read_coco(write(folder, document))
        assert [(i.width, i.height) for i in result.images] == [(64, 48), (30, 40), (20, 20)]

    def test_head_keeps_the_first_images(self, dataset):
        result = read_coco(write(*dataset))
        assert [i.id for i in result.head(2).images] == [10, 4]
        assert result.head(None) is result

    def test_written_documents_read_back_to_the_same_boxes(self, tmp_path):
        rng = np.random.default_rng(3)
        entries = []
        for k in range(4):
            picture(tmp_path / f"{k}.png", 50, 30)
            x1, y1 = rng.uniform(0, 20, 2).astype(np.float32)
            boxes = np.array([[x1, y1, x1 + 13.3, y1 + 7.1, k % 2]], np.float32)
            entries.append((f"{k}.png", 50, 30, boxes if k != 2 else np.zeros((0, 5))))
        document = coco_document(["a", "b"], entries)
        result = read_coco(write(tmp_path, document))
        assert result.classes == ("a", "b")
        for image, (_, _, _, boxes) in zip(result.images, entries, strict=True):
            np.testing.assert_array_equal(image.boxes, np.asarray(boxes, np.float32))


# A change to the good document, and the texts its error must contain.
BAD_INPUT = {
    "missing image file": (
        lambda d, f: (f / "img" / "b.jpg").unlink(),
        ["image id 4", "file_name 'img/b.jpg'", "image file not found", "b.jpg"],
    ),
    "box outside its image": (
        lambda d, f: d["annotations"][2].update(bbox=[40, 8, 25, 40]),
        ["annotation id 3", "image id 10", "file_name 'img/a.png'", "outside", "64x48"],
    ),
    "box above the image": (
        lambda d, f: d["annotations"][1].update(bbox=[0, -2, 30, 10]),
        ["annotation id 2", "outside"],
    ),
    "zero width": (
        lambda d, f: d["annotations"][0].update(bbox=[1, 1, 0, 5]),
        ["annotation id 1", "width or height of 0 or less"],
    ),
    "bbox not four numbers": (
        lambda d, f: d["annotations"][1].update(bbox=[1, 1, "5", 3]),
        ["annotation id 2", "four numbers"],
    ),
    "unknown category": (
        lambda d, f: d["annotations"][1].update(category_id=5),
        ["annotation id 2", "category_id 5 is not in categories", "ids 9, 3"],
    ),
    "unknown image": (
        lambda d, f: d["annotations"][1].update(image_id=99),
        ["annotation id 2", "image_id 99 is not in images"],
    ),
    "declared size differs from the file": (
        lambda d, f: d["images"][0].update(width=640),
        ["image id 10", "64x48 pixels", "640x48"],
    ),
    "format TensorFlow cannot decode": (
        lambda d, f: picture(f / "img" / "a.png", 64, 48, format="TIFF"),
        ["image id 10", "TIFF", "PNG, JPEG"],
    ),
    "not an image": (
        lambda d, f: (f / "img" / "a.png").write_text("hello"),
        ["image id 10", "cannot read the image file"],
    ),
    "duplicate image id": (
        lambda d, f: d["images"][2].update(id=4),
        ["image id 4 appears more than once"],
    ),
    "duplicate category id": (
        lambda d, f: d["categories"].append({"id": 3, "name": "bird"}),
        ["category id 3 appears more than once"],
    ),
    "duplicate category name": (
        lambda d, f: d["categories"].append({"id": 5, "name": "cat"}),
        ["category name 'cat' appears more than once"],
    ),
    "category without a name": (
        lambda d, f: d["categories"][1].pop("name"),
        ["category #1 (id 3)", "'name'"],
    ),
    "image id not an integer": (
        lambda d, f: d["images"][1].update(id="4"),
        ["image #1", "'id' must be an integer"],
    ),
    "annotation without a box": (
        lambda d, f: d["annotations"][1].pop("bbox"),
        ["annotation id 2", "no 'bbox'"],
    ),
    "no categories": (lambda d, f: d["categories"].clear(), ["no categories"]),
}

NOT_COCO = {
    "a list of detections": ('[{"image_id": 1, "bbox": [0, 0, 1, 1]}]', "results file"),
    "missing keys": ('{"images": [], "info": {}}', "no 'annotations', 'categories'"),
    "images not a list": (
        '{"images": {}, "annotations": [], "categories": []}',
        "'images' is an object, not a list",
    ),
    "a number": ("3", "the top level is a number"),
    "not JSON": ('{"images": [', "not JSON: Expecting value at line 1"),
}


class TestBadInput:
    @pytest.mark.parametrize("case", BAD_INPUT, ids=list(BAD_INPUT))
    def test_fault_names_the_file_and_the_entry(self, dataset, case):
        folder, document = dataset
        change, expected = BAD_INPUT[case]
        change(document, folder)
        path = write(folder, document)
        with pytest.raises(CocoFormatError) as caught:
            read_coco(path)
        message = str(caught.value)
        assert message.startswith(str(path))
        for text in expected:
            assert text in message

    @pytest.mark.parametrize("case", NOT_COCO, ids=list(NOT_COCO))
    def test_a_file_that_is_not_coco(self, tmp_path, case):
        text, expected = NOT_COCO[case]
        path = write(tmp_path, text)
        with pytest.raises(CocoFormatError, match="^" + str(path)) as caught:
            read_coco(path)
        assert expected in str(caught.value)

    def test_every_fault_is_reported_at_once(self, dataset):
        folder, document = dataset
        (folder / "img" / "empty.png").unlink()
        document["annotations"][0]["category_id"] = 1
        document["annotations"][1]["bbox"] = [0, 0, 31, 40]
        with pytest.raises(CocoFormatError) as caught:
            read_coco(write(folder, document))
        error = caught.value
        assert len(error.problems) == 3
        assert str(error).splitlines()[0].endswith("3 problems:")
        assert ["image id 7", "annotation id 1", "annotation id 2"] == [
            p.split(",")[0].split(" (")[0] for p in error.problems
        ]

    def test_missing_annotations_file(self, tmp_path):
        with pytest.raises(CocoFormatError, match="annotations file not found"):
            read_coco(tmp_path / "nowhere.json")


class TestLetterbox:
    def test_geometry_of_wide_tall_and_fitting_images(self):
        wide = Letterbox.fit(480, 640, 64)
        assert (wide.new_height, wide.new_width, wide.top, wide.left) == (48, 64, 8, 0)
        tall = Letterbox.fit(100, 20, 64)
        assert (tall.new_height, tall.new_width, tall.top, tall.left) == (64, 13, 0, 25)
        small = Letterbox.fit(16, 32, 64)  # enlarged to fit
        assert (small.new_height, small.new_width, small.top) == (32, 64, 16)
        assert Letterbox.fit(64, 64, 64).is_identity

    def test_boxes_map_to_the_input_and_back(self):
        box = Letterbox.fit(480, 640, 64)
        rows = np.array([[0, 0, 640, 480, 2], [320, 240, 330, 250, 1]], np.float32)
        mapped = box.boxes_to_input(rows)
        np.testing.assert_allclose(mapped, [[0, 8, 64, 56, 2], [32, 32, 33, 33, 1]], atol=1e-5)
        np.testing.assert_allclose(box.boxes_to_image(mapped[:, :4]), rows[:, :4], atol=1e-3)
        # detections reaching into the fill are clipped to the image
        np.testing.assert_allclose(box.boxes_to_image([[-3, 0, 70, 64]]), [[0, 0, 640, 480]])
        same = Letterbox.fit(64, 64, 64)
        assert same.boxes_to_input(rows).tolist() == rows.tolist()

    def test_pixels_land_where_the_geometry_says(self):
        image = np.zeros((30, 90, 3), np.uint8)
        image[:, 45:] = 200  # right half bright
        box = Letterbox.fit(30, 90, 60)
        out = letterbox_image(image, box.new_height, box.new_width, box.top, box.left, 60, 7)
        out = out.numpy()
        assert out.shape == (60, 60, 3) and out.dtype == np.uint8
        assert (box.new_height, box.top) == (20, 20)
        assert (out[:20] == 7).all() and (out[40:] == 7).all()
        content = out[20:40]
        assert (content[:, :29] == 0).all() and (content[:, 31:] == 200).all()

    def test_an_image_of_the_input_size_is_not_resampled(self):
        image = np.random.default_rng(0).integers(0, 256, (16, 16, 3), dtype=np.uint8)
        out = letterbox_image(image, 16, 16, 0, 0, 16)
        assert np.array_equal(out.numpy(), image)

    def test_works_inside_a_pipeline_with_tensor_geometry(self):
        images = np.full((2, 10, 20, 3), 50, np.uint8)
        geometry = np.array([[8, 16, 4, 0], [8, 16, 4, 0]], np.int32)
        ds = tf.data.Dataset.from_tensor_slices((images, geometry)).map(
            lambda image, g: letterbox_image(image, g[0], g[1], g[2], g[3], size=16)
        )
        for out in ds:
            assert out.shape == (16, 16, 3)
            assert (out.numpy()[4:12] == 50).all() and (out.numpy()[:4] == 0).all()


class TestEdgesAndCrowds:
    def test_clip_option(self, dataset):
        folder, document = dataset
        assert read_coco(write(folder, document), clip=0.5).clipped == 0
        document["annotations"][2]["bbox"] = [40, 8, 24.4, 40]  # 0.4 px past the right edge
        path = write(folder, document)
        with pytest.raises(CocoFormatError, match="0.4 px past the edge"):
            read_coco(path)
        result = read_coco(path, clip=0.5)
        assert result.clipped == 1
        np.testing.assert_array_equal(result.images[0].boxes[1], [40, 8, 64, 48, 1])
        for bbox, expected in (([40, 8, 26, 40], "2 px past"), ([64.1, 8, 0.2, 4], "wholly")):
            document["annotations"][2]["bbox"] = bbox
            with pytest.raises(CocoFormatError, match=expected):
                read_coco(write(folder, document), clip=0.5)
        with pytest.raises(ValueError, match="clip must be a number of pixels"):
            read_coco(path, clip=-1)

    def test_a_wrong_declared_size_is_its_images_one_fault(self, dataset):
        folder, document = dataset
        document["images"][0].update(width=32)  # both boxes of the image reach past 32
        with pytest.raises(CocoFormatError) as caught:
            read_coco(write(folder, document))
        assert caught.value.problems == [
            "image id 10, file_name 'img/a.png': the file is 64x48 pixels, the entry says "
            "32x48 (width x height)"
        ]

    def test_crowd_regions_are_kept_apart_and_written_back(self, dataset, tmp_path):
        result = read_coco(write(*dataset))
        np.testing.assert_array_equal(result.images[0].crowd, [[0, 0, 64, 48, 0]])
        assert result.images[1].crowd.shape == (0, 5)
        picture(tmp_path / "w.png", 20, 10)
        boxes, crowd = [[1, 2, 9, 8, 0]], [[0.5, 0, 20, 7.5, 1]]
        document = coco_document(["a", "b"], [("w.png", 20, 10, boxes, crowd)])
        assert [a["iscrowd"] for a in document["annotations"]] == [0, 1]
        again = read_coco(write(tmp_path, document)).images[0]
        np.testing.assert_array_equal(again.boxes, boxes)
        np.testing.assert_array_equal(again.crowd, crowd)


class TestExifOrientation:
    def test_each_orientation_is_displayed_as_pillow_displays_it(self, tmp_path):
        from PIL import ImageOps

        stored = np.random.default_rng(1).integers(0, 256, (5, 7, 3), dtype=np.uint8)
        for orientation in range(1, 9):
            path = tmp_path / f"{orientation}.png"
            exif = Image.Exif()
            exif[0x0112] = orientation
            Image.fromarray(stored).save(path, exif=exif)
            with Image.open(path) as opened:
                expected = np.asarray(ImageOps.exif_transpose(opened))
            assert np.array_equal(read_image(path), expected), orientation
            header, _ = image_header(str(path), str(tmp_path))
            assert (header.height, header.width) == expected.shape[:2]
        # A JPEG's tag is read from its header too.
        exif = Image.Exif()
        exif[0x0112] = 6
        Image.fromarray(stored).save(tmp_path / "photo.jpg", exif=exif)
        header, _ = image_header(str(tmp_path / "photo.jpg"), str(tmp_path))
        assert (header.orientation, header.width, header.height) == (6, 5, 7)

    def test_a_turned_photo_trains_as_the_same_image_turned_on_disk(self, tmp_path):
        displayed = np.random.default_rng(2).integers(0, 256, (40, 24, 3), dtype=np.uint8)
        Image.fromarray(displayed).save(tmp_path / "upright.png")
        exif = Image.Exif()
        exif[0x0112] = 6  # "turn a quarter clockwise to display"
        Image.fromarray(np.rot90(displayed)).save(tmp_path / "turned.png", exif=exif)
        boxes = np.array([[2, 3, 20, 30, 1], [0, 30, 24, 40, 0]], np.float32)
        read = {}
        for name in ("upright", "turned"):
            entries = [(f"{name}.png", 24, 40, boxes)]
            read[name] = read_coco(write(tmp_path, coco_document(["a", "b"], entries), name))
        upright, turned = read["upright"], read["turned"]
        assert (turned.images[0].orientation, upright.images[0].orientation) == (6, 1)
        np.testing.assert_array_equal(turned.images[0].boxes, upright.images[0].boxes)
        for ours, theirs in zip(
            [*coco_training_elements(turned, 32, 8), *coco_validation_samples(turned)],
            [*coco_training_elements(upright, 32, 8), *coco_validation_samples(upright)],
        ):
            for a, b in zip(ours[:2], theirs[:2]):  # pixels, and grids or boxes; not names
                assert np.array_equal(a.numpy(), b.numpy())
        assert np.array_equal(read_image(tmp_path / "turned.png"), displayed)
        # The stored size declared for a turned photo: the message says why it differs.
        entries = [("turned.png", 40, 24, boxes[:0])]
        with pytest.raises(CocoFormatError, match="EXIF orientation 6 turns the stored pixels"):
            read_coco(write(tmp_path, coco_document(["a", "b"], entries), "stored"))


def test_an_image_cut_during_the_run_stops_it_naming_the_file(tmp_path, monkeypatch):
    pytest.importorskip("corvane.tessmark.trainer.detection")
    from corvane.demo import coco as demo_coco
    from corvane.demo import data
    from corvane.demo.app import DemoConfig, run_demo
    from corvane.tessmark.coco import DatasetFormatError
    from corvane.tessmark.data import EpochOrder
    from corvane.tessmark.pyramid_data import pyramid_dataset_elements

    train_json, val_json = demo_coco.export_shapes(
        tmp_path / "data", data.make_shapes(8, (5, 0)), data.make_shapes(4, (5, 1))
    )

    def cut(path):
        with open(path, "r+b") as f:
            whole = f.read()
            f.truncate(len(whole) // 2)
        return whole

    # The pipelines themselves name a file that no longer decodes.
    validation = read_coco(val_json)
    samples = coco_validation_samples(validation)
    whole = cut(validation.images[2].path)
    with pytest.raises(tf.errors.InvalidArgumentError, match=validation.images[2].path):
        list(samples)
    with pytest.raises(tf.errors.InvalidArgumentError, match=validation.images[2].path):
        list(pyramid_dataset_elements(validation, 32, cache=False))
    with open(validation.images[2].path, "wb") as f:
        f.write(whole)

    # The demo, whose training image is cut after the check and the initial validation,
    # stops in the first epoch, before its files, and names the file as the readers do.
    path = read_coco(train_json).images[5].path
    checkpoints = tmp_path / "out" / "checkpoints"
    start_epoch, before = EpochOrder.on_epoch_start, {}

    def cut_at_the_start(self, epoch):
        before["last.h5"] = (checkpoints / "last.h5").read_bytes()
        cut(path)
        start_epoch(self, epoch)

    monkeypatch.setattr(EpochOrder, "on_epoch_start", cut_at_the_start)
    config = DemoConfig(epochs=2, out=str(tmp_path / "out"), dvclive=False, mlflow=False)
    config.coco_train, config.coco_val, config.batch_size = str(train_json), str(val_json), 4
    with pytest.raises(DatasetFormatError) as caught:
        run_demo(config)
    assert f"cannot decode the image file {path}: Invalid PNG data" in str(caught.value)
    assert path in str(caught.value.__context__)  # the pipeline's own error named it
    assert (checkpoints / "last.h5").read_bytes() == before["last.h5"]
    with open(checkpoints / "summary.csv", newline="") as f:
        assert [row["epoch"] for row in csv.DictReader(f)] == ["0"]  # the initial pass only
