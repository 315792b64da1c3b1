"""The pyramid layout: its network and levels, the assigner in a crowd, the loss in the
trainer's compiled step, a real training through DetectionTrainer, and the decoding in
Keras, TFLite and ONNX."""

import types

import numpy as np
import pytest
import tensorflow as tf

from corvane.tessmark.callbacks import TessmarkTrainingCallback
from corvane.tessmark.data import validation_samples
from corvane.tessmark.grid import MAX_DETECTIONS, export_network
from corvane.tessmark.pyramid import (
    anchor_points,
    feature_taps,
    pyramid_detector,
    small_backbone,
)
from corvane.tessmark.pyramid_decode import decode_pyramid, decode_pyramid_graph
from corvane.tessmark.pyramid_loss import PyramidLoss, _rescue, assign
from corvane.tessmark.trainer.detection import DetectionTrainer
from corvane.validator.evaluator import DetectionEvaluator

SIZE, MAX_BOXES = 64, 10
CLASSES = ["square", "disc"]
KEYS = {"total-loss", "localization-loss", "classification-loss", "objectness-loss"}


def pictures(count, seed):
    """Dark noise with up to eight squares and discs of 6 to 16 pixels, a pixel apart, so
    that centres often share a stride-8 cell."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:SIZE, 0:SIZE] + 0.5
    images = rng.integers(0, 50, (count, SIZE, SIZE, 3)).astype(np.uint8)
    boxes = []
    for image in images:
        rows = []
        for _ in range(60):
            if len(rows) == 8:
                break
            size = int(rng.integers(6, 17))
            x, y = (int(v) for v in rng.integers(0, SIZE - size + 1, 2))
            if all(x > b[2] or x + size < b[0] or y > b[3] or y + size < b[1] for b in rows):
                cls = int(rng.integers(2))
                if cls == 0:
                    mask = (xx >= x) & (xx < x + size) & (yy >= y) & (yy < y + size)
                else:
                    mask = (xx - x - size / 2) ** 2 + (yy - y - size / 2) ** 2 <= (size / 2) ** 2
                image[mask] = rng.integers(120, 256, 3)
                rows.append([x, y, x + size, y + size, cls])
        boxes.append(np.array(rows, np.float32))
    return images, boxes


def padded(boxes, rows=MAX_BOXES):
    out = np.zeros((rows, 5), np.float32)
    out[:, 4] = -1
    out[: len(boxes)] = boxes
    return out


def crowd(rng, count=30, size=SIZE):
    """``count`` boxes: eight centred in the stride-8 cell at (16, 16), of 3 to 14 pixels,
    and the others anywhere, of 3 to 30 pixels."""
    rows = []
    for i in range(count):
        cx, cy = (16 + rng.uniform(0, 8, 2)) if i < 8 else rng.uniform(4, size - 4, 2)
        w, h = rng.uniform(3, 14 if i < 8 else 30, 2)
        x1, y1 = max(cx - w / 2, 0), max(cy - h / 2, 0)
        rows.append([x1, y1, min(cx + w / 2, size), min(cy + h / 2, size), rng.integers(3)])
    return np.array(rows, np.float32).reshape(-1, 5)


def iou(a, b):
    w = max(0.0, min(a[2], b[2]) - max(a[0], b[0]))
    h = max(0.0, min(a[3], b[3]) - max(a[1], b[1]))
    return w * h / ((a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - w * h)


def found(detections, truth, score=0.3):
    """How many rows of ``truth`` a detection of the right class covers at IoU 0.5."""
    hits = decode_pyramid(detections, SIZE, SIZE, score, 0.5)
    return sum(
        any(iou(b, t[:4]) > 0.5 and c == t[4] for b, c in zip(hits.boxes, hits.classes))
        for t in truth
    )


@pytest.fixture(scope="module")
def untrained():
    tf.keras.utils.set_random_seed(3)
    return pyramid_detector(None, 3, SIZE, width=16)


class TestNetwork:
    def test_levels_of_applications_and_built_in_backbones(self):
        mobile = tf.keras.applications.MobileNetV2(
            weights=None, input_shape=(96, 96, 3), include_top=False, alpha=0.35
        )
        for backbone, size in [(mobile, 96), (small_backbone(SIZE), SIZE)]:
            taps = feature_taps(backbone)
            assert [t.shape[1:3] for t in taps] == [(size // s, size // s) for s in (8, 16, 32)]
        # A foreign backbone carries the whole head: locations of all three levels.
        model = pyramid_detector(mobile, 2)
        assert model.output_shape == [(None, 189, 4), (None, 189, 2), (None, 189, 1, 6)]

        inputs = tf.keras.Input((64, 64, 3))
        x = inputs
        for _ in range(4):
            x = tf.keras.layers.Conv2D(4, 3, strides=2, padding="same")(x)
        shallow = tf.keras.Model(inputs, x, name="shallow")
        with pytest.raises(
            ValueError, match="'shallow' has no feature map at stride 32 .* 2, 4, 8, 16\\."
        ):
            feature_taps(shallow)
        flexible = tf.keras.Input((None, None, 3))
        open_size = tf.keras.Model(flexible, tf.keras.layers.Conv2D(2, 1)(flexible))
        with pytest.raises(ValueError, match="fixed image size"):
            feature_taps(open_size)
        with pytest.raises(ValueError, match=r"not the square image_size 64"):
            pyramid_detector(mobile, 2, image_size=64)
        with pytest.raises(ValueError, match="must double the one before"):
            pyramid_detector(mobile, 2, strides=(8, 32))

    @pytest.mark.filterwarnings("ignore:You are saving your model as an HDF5 file")
    def test_detections_decode_the_locations_the_loss_uses_and_reload_plainly(
        self, untrained, tmp_path
    ):
        x = np.random.default_rng(0).random((2, SIZE, SIZE, 3)).astype(np.float32)
        regression, logits, detections = (o.numpy() for o in untrained(x, training=False))
        assert detections.shape == (2, 84, 1, 7) and detections.dtype == np.float32
        detections = detections[:, :, 0]
        points, strides = anchor_points(SIZE)
        distances = np.log1p(np.exp(regression)) * strides[:, None]
        expected = np.concatenate([points - distances[..., :2], points + distances[..., 2:]], -1)
        # Boxes as fractions of the input's side, in the scores' range.
        np.testing.assert_allclose(detections[..., :4] * SIZE, expected, rtol=1e-5, atol=1e-4)
        np.testing.assert_allclose(detections[..., 4:], 1 / (1 + np.exp(-logits)), atol=1e-6)

        export_network(untrained).save(tmp_path / "best.h5")
        loaded = tf.keras.models.load_model(tmp_path / "best.h5", compile=False)
        np.testing.assert_allclose(loaded(x).numpy()[:, :, 0], detections, rtol=1e-6, atol=1e-6)

    def test_mixed_precision_outputs_are_float32(self):
        tf.keras.mixed_precision.set_global_policy("mixed_float16")
        try:
            model = pyramid_detector(None, 2, SIZE, width=8)
        finally:
            tf.keras.mixed_precision.set_global_policy("float32")
        assert [o.dtype for o in model.outputs] == [tf.float32] * 3


class TestAssigner:
    @pytest.mark.parametrize("predictions", ["network", "blank"])
    def test_every_object_of_a_crowd_gets_its_own_locations(self, untrained, predictions):
        rng = np.random.default_rng(7)
        boxes = np.stack([padded(crowd(rng), 36), padded(crowd(rng, 12), 36)])
        if predictions == "network":
            images = rng.random((2, SIZE, SIZE, 3)).astype(np.float32)
            output = untrained(images, training=False)[2].numpy()[:, :, 0]
        else:  # before any training signal: no overlap, no score, every alignment 0
            output = np.zeros((2, 84, 7), np.float32)
        points, strides = anchor_points(SIZE)
        result = assign(points, strides, boxes, output[..., :4], output[..., 4:])
        owner = result.owner.numpy()
        held = (owner[:, None, :] == np.arange(36)[None, :, None]).sum(-1)
        assert (held[0, :30] >= 1).all() and (held[1, :12] >= 1).all()
        assert held[0, 30:].sum() == 0 and held[1, 12:].sum() == 0
        for n in range(2):
            for a in np.nonzero(owner[n] >= 0)[0]:
                row = boxes[n, owner[n, a]]
                np.testing.assert_array_equal(result.boxes[n, a], row[:4])
                assert result.classes[n, a] == row[4]
                centre = (row[:2] + row[2:4]) / 2
                inside = (row[:2] < points[a]).all() and (points[a] < row[2:4]).all()
                assert inside or np.hypot(*(points[a] - centre)) <= 2.5 * strides[a] + 1e-4
        scores = result.scores.numpy()
        assert (scores[owner < 0] == 0).all() and ((scores >= 0) & (scores <= 1)).all()

    def test_copies_of_one_box_each_get_a_location(self):
        boxes = padded(np.array([[30, 30, 35, 35, 1]] * 12, np.float32), 14)[None]
        points, strides = anchor_points(SIZE)
        owner = assign(points, strides, boxes, np.zeros((1, 84, 4)), np.zeros((1, 84, 2))).owner
        held = (owner.numpy()[0, None, :] == np.arange(14)[:, None]).sum(-1)
        assert (held[:12] >= 1).all() and (held[12:] == 0).all()

    def test_taking_back_never_leaves_the_holder_without(self):
        # Object 0 holds locations 0 and 1; orphans 1 and 2 want one each. Taking both at
        # once would leave object 0 with candidates that are others' only locations.
        candidates = [[0, 1], [0, 3], [1], [3, 4]]
        candidate = np.zeros((1, 4, 5), bool)
        for row, places in enumerate(candidates):
            candidate[0, row, places] = True
        rank = np.where(candidate, 0.5, -1.0).astype(np.float32)
        rank[0, 1, 3], rank[0, 2, 1] = 0.4, 0.9
        owner = _rescue(tf.constant([[0, 0, -1, 3, 3]]), rank, candidate, tf.ones((1, 4), bool), 4)
        assert owner.numpy().tolist() == [[0, 2, -1, 1, 3]]


class TestLoss:
    def test_one_trace_four_float32_scalars_and_their_sum(self, untrained):
        loss = PyramidLoss(SIZE)
        rng = np.random.default_rng(1)
        step = tf.function(loss.compute_loss)
        for _ in range(3):
            targets = (np.stack([padded(crowd(rng, 9)), padded(crowd(rng, 4))]),)
            images = rng.random((2, SIZE, SIZE, 3)).astype(np.float32)
            result = step(targets, tuple(untrained(images, training=True)))
        assert step.experimental_get_tracing_count() == 1
        assert type(result) is dict and set(result) == KEYS
        assert all(v.shape == () and v.dtype == tf.float32 for v in result.values())
        parts = sum(float(result[k]) for k in KEYS - {"total-loss"})
        assert float(result["total-loss"]) == pytest.approx(parts, rel=1e-6)
        assert float(result["objectness-loss"]) == 0.0

    def test_replica_shares_add_up_to_the_whole_batch(self, untrained):
        loss = PyramidLoss(SIZE)
        rng = np.random.default_rng(2)
        boxes = np.stack([padded(crowd(rng, k)) for k in (3, 10, 0, 6)])
        predictions = untrained(rng.random((4, SIZE, SIZE, 3)).astype(np.float32))
        whole = loss.compute_loss((boxes,), tuple(predictions))
        halves = [
            (boxes[:2], [p[:2] for p in predictions]),
            (boxes[2:], [p[2:] for p in predictions]),
        ]
        sums = []
        for part, outputs in halves:
            loss.compute_loss((part,), tuple(outputs), global_sum=lambda v: sums.append(v) or v)
        shares = [
            loss.compute_loss((part,), tuple(outputs), global_sum=lambda v: sums[0] + sums[1])
            for part, outputs in halves
        ]
        for key in KEYS:
            total = float(shares[0][key]) + float(shares[1][key])
            assert total == pytest.approx(float(whole[key]), rel=1e-5, abs=1e-7), key

    def test_a_network_of_another_size_is_named(self, untrained):
        predictions = untrained(np.zeros((1, SIZE, SIZE, 3), np.float32))
        with pytest.raises(ValueError, match="84 locations, but an input of 96 pixels"):
            PyramidLoss(96).compute_loss((np.zeros((1, 2, 5), np.float32),), tuple(predictions))


class TestDecode:
    def test_class_aware_suppression_threshold_order_and_limit(self):
        def row(box, cls, score, classes=3):
            scores = np.zeros(classes, np.float32)
            scores[cls] = score
            return np.concatenate([np.float32(box) / 64, scores])

        detections = np.stack(
            [
                row([10, 10, 30, 30], 0, 0.8),
                row([11, 11, 31, 31], 0, 0.9),  # suppresses the row above
                row([10, 10, 30, 30], 1, 0.7),  # another class: kept
                row([-5, 40, 20, 70], 2, 0.3),  # at the threshold: kept, clipped
                row([40, 0, 50, 10], 2, 0.2999),
            ]
        )
        graph = tf.function(decode_pyramid_graph)
        for boxes, scores, classes in [
            decode_pyramid(detections, 64, 64, 0.3, 0.5),
            [t.numpy() for t in graph(detections, tf.constant(64), 64, tf.constant(0.3), 0.5)],
        ]:
            np.testing.assert_allclose(scores, [0.9, 0.7, 0.3])
            np.testing.assert_array_equal(classes, [0, 1, 2])
            np.testing.assert_allclose(boxes, [[11, 11, 31, 31], [10, 10, 30, 30], [0, 40, 20, 64]])

        many = np.stack(
            [
                row([i % 20 * 3, i // 20 * 3, i % 20 * 3 + 2, i // 20 * 3 + 2], 0, i / 200)
                for i in range(150)
            ]
        )
        best = decode_pyramid(many, 64, 64, 0.0, 0.5)
        assert len(best.scores) == MAX_DETECTIONS and best.scores[-1] == np.float32(50 / 200)

    def test_onnx_gives_the_same_detections(self):
        tf2onnx = pytest.importorskip("tf2onnx", reason="the ONNX export's extra is not installed")
        onnxruntime = pytest.importorskip("onnxruntime", reason="no ONNX runtime installed")
        rng = np.random.default_rng(4)
        corners = rng.uniform(0, 60, (84, 2))
        boxes = np.concatenate([corners, corners + rng.uniform(2, 20, (84, 2))], 1) / 64
        detections = np.concatenate([boxes, rng.random((84, 3))], 1).astype(np.float32)
        spec = (tf.TensorSpec((None, 7), tf.float32, name="detections"),)
        decode = tf.function(
            lambda d: dict(
                zip(("boxes", "scores", "classes"), decode_pyramid_graph(d, 64, 64, 0.25, 0.5))
            )
        )
        proto, _ = tf2onnx.convert.from_function(decode, input_signature=spec, opset=13)
        session = onnxruntime.InferenceSession(
            proto.SerializeToString(), providers=["CPUExecutionProvider"]
        )
        names = [o.name for o in session.get_outputs()]
        got = dict(zip(names, session.run(None, {"detections": detections})))
        expected = decode_pyramid(detections, 64, 64, 0.25, 0.5)
        assert 0 < len(expected.scores) < 84
        np.testing.assert_allclose(got["boxes"], expected.boxes, atol=1e-5)
        np.testing.assert_allclose(got["scores"], expected.scores, atol=1e-6)
        np.testing.assert_array_equal(got["classes"], expected.classes)


class Losses(TessmarkTrainingCallback):
    def __init__(self):
        self.totals = []

    def on_step_end(self, losses, lr):
        self.totals.append(float(losses["total-loss"]))


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """240 steps of DetectionTrainer on 64 crowded pictures (about 8 objects each)."""
    folder = tmp_path_factory.mktemp("pyramid")
    tf.keras.utils.set_random_seed(0)
    images, boxes = pictures(64, seed=1)
    targets = np.stack([padded(b) for b in boxes])
    train_ds = (
        tf.data.Dataset.from_tensor_slices((images, targets))
        .shuffle(64, seed=0)
        .repeat(20)
        .batch(16)
    )
    val_images, val_boxes = pictures(4, seed=2)
    val_ds = validation_samples(val_images, val_boxes, [f"val-{i}.png" for i in range(4)])
    model = pyramid_detector(None, len(CLASSES), SIZE, width=32)
    optimizer = tf.keras.optimizers.Adam(2e-3)
    # Built outside the step, so the step traces once.
    optimizer.build(model.trainable_variables)
    logger = types.SimpleNamespace(writer=None, update_metrics=lambda metrics, losses: None)
    trainer = DetectionTrainer(
        model,
        train_ds,
        optimizer,
        PyramidLoss(SIZE),
        logger,
        str(folder),
        metric="map",
        classes=CLASSES,
        display=0,
        skip_initial_validation=True,
    )
    losses = Losses()
    evaluator = DetectionEvaluator(model)
    trainer.train(3, train_ds, val_ds, evaluator, callback_handler=losses)
    return types.SimpleNamespace(
        trainer=trainer, model=model, folder=folder, losses=losses.totals, images=images,
        boxes=boxes,
    )  # fmt: skip


class TestTraining:
    def test_the_trainer_learns_a_crowd_and_its_checkpoints_detect_it(self, trained):
        totals = trained.losses
        assert len(totals) == 240
        assert np.mean(totals[-20:]) < 0.4 * np.mean(totals[:5])
        assert trained.trainer.best_value > 0.0

        x = trained.images[:8].astype(np.float32) / 255.0
        last = tf.keras.models.load_model(trained.folder / "last.h5", compile=False)
        np.testing.assert_allclose(
            last(x).numpy(), export_network(trained.model)(x).numpy(), rtol=1e-5, atol=1e-4
        )
        best = tf.keras.models.load_model(trained.folder / "best.h5", compile=False)
        detections = best(x).numpy()
        objects = sum(len(b) for b in trained.boxes[:8])
        hits = sum(found(detections[k], trained.boxes[k]) for k in range(8))
        assert hits >= 0.85 * objects, (hits, objects)
        extra = sum(len(decode_pyramid(d, SIZE, SIZE, 0.3, 0.5).scores) for d in detections)
        assert extra <= objects + 8

        # A channels-first checkpoint moves the channels of its output too, as a grid's.
        trained.trainer.NCHW = True
        try:
            trained.trainer.save_model(-1.0)
        finally:
            trained.trainer.NCHW = False
        nchw = tf.keras.models.load_model(trained.folder / "last.h5", compile=False)
        assert nchw.input_shape == (None, 3, SIZE, SIZE)
        assert nchw.output_shape == (None, 6, 84, 1)
        np.testing.assert_allclose(
            nchw(np.transpose(x, (0, 3, 1, 2))).numpy(),
            np.transpose(last(x).numpy(), (0, 3, 1, 2)),
            rtol=1e-5,
            atol=1e-4,
        )

    def test_tflite_of_builtins_detects_as_keras_does(self, trained):
        network = tf.keras.models.load_model(trained.folder / "best.h5", compile=False)

        @tf.function(input_signature=[tf.TensorSpec((1, SIZE, SIZE, 3), tf.float32)])
        def detect(batch):
            boxes, scores, classes = decode_pyramid_graph(
                network(batch, training=False)[0], SIZE, SIZE, 0.05, 0.5
            )
            return {"boxes": boxes, "scores": scores, "classes": classes}

        # The weights alone as the converter's root: it saves them first, far faster than
        # a Keras model with each layer's own functions.
        root = tf.Module()
        root.weights = list(network.weights)
        converter = tf.lite.TFLiteConverter.from_concrete_functions(
            [detect.get_concrete_function()], root
        )
        converter.target_spec.supported_ops = [tf.lite.OpsSet.TFLITE_BUILTINS]
        interpreter = tf.lite.Interpreter(model_content=converter.convert())
        operations = {op["op_name"] for op in interpreter._get_ops_details()}
        assert "NON_MAX_SUPPRESSION_V5" in operations
        run = interpreter.get_signature_runner()
        for k in range(3):
            batch = trained.images[k : k + 1].astype(np.float32) / 255.0
            got = run(batch=batch)
            expected = decode_pyramid(network(batch).numpy()[0], SIZE, SIZE, 0.05, 0.5)
            assert len(expected.scores) >= len(trained.boxes[k])
            assert got["scores"].shape == expected.scores.shape
            np.testing.assert_allclose(got["scores"], expected.scores, atol=1e-4)
            np.testing.assert_allclose(got["boxes"], expected.boxes, atol=1e-2)
            np.testing.assert_array_equal(got["classes"], expected.classes)
