"""Training on several devices and machines through ``tf.distribute``, with the compiled loop.

:class:`DistributedDetectionTrainer` is a ``DetectionTrainer`` whose step runs on every
replica of a ``MirroredStrategy`` (one machine, several devices) or a
``MultiWorkerMirroredStrategy`` (several machines, ``TF_CONFIG``). The loop, the hooks,
validation, publication and checkpoints stay the compiled trainer's; this class
replaces the per-batch step and decides where each worker's outputs go::

    strategy = tf.distribute.MirroredStrategy()
    with strategy.scope():
        model = build_model()
        optimizer = tf.keras.optimizers.Adam(1e-3)
    trainer = DistributedDetectionTrainer(model, train_ds, optimizer, TessmarkLoss(), logger,
                                          "checkpoints", classes=names, strategy=strategy)
    trainer.train(epochs, train_ds=train_ds, val_ds=val_ds, evaluator=evaluator)

The step. Each replica runs the compiled step's own body on its share of the global
batch, so that the sum of the replicas' losses is the global batch's loss and the
optimizer, which sums the replicas' gradients, applies the gradient of that loss:

* A loss object whose ``compute_loss`` accepts the keyword ``global_sum`` is given a
  function that sums a tensor over every replica of the global batch; it divides each
  term by the global batch's normaliser (``TessmarkLoss`` divides by the global number of
  objects), so each replica returns its share and the shares add up to the single-device
  loss of the same batch (up to rounding).
* Any other loss object is taken to return means over the examples of its batch: each
  replica's values are weighted by its share of the global batch's examples, which also
  holds for a smaller last batch that does not divide evenly.
* The model's regularisation losses (the "L2-loss") are counted once: each replica adds
  its sum divided by the number of replicas.

The losses shown on the bar, handed to the hooks and published are the global values.
Batch normalisation keeps per-replica batch statistics unless the layer is built with
``synchronized=True``; only then is a step the same as one device's step on the global
batch.

Workers. Under ``MultiWorkerMirroredStrategy`` every worker runs the same loop in lockstep:
reading a ``BatchNormalization`` layer's moving statistics outside a step (running the
network for validation, saving a checkpoint, a ``tf.train.Checkpoint``) is a collective
operation that every worker must join, or the others wait forever. So every worker
validates and saves, and :class:`WorkerRole` sends what a worker other than the chief
writes into its own temporary folder, removed after use: nothing of it reaches the
checkpoint folder, ``summary.csv``, DVCLive, MLflow or TensorBoard (unlike Keras, whose
temporary folders sit inside the chief's folder). Every save follows the chief's
validation score, so all workers make the same saves. The callback handler's hooks run on
every worker; ``trainer.is_chief`` tells them which one they run on. All workers must be
started with the same training (epochs, start, evaluator, validation data): ``train``
compares them first and fails on every worker at once when they differ.
"""

from __future__ import annotations

import contextlib
import inspect
import io
import os
import re
import shutil
import sys
import tempfile
import weakref

import tensorflow as tf

from corvane.tessmark.trainer.detection import DetectionTrainer

# The seam to the compiled trainer. Its step's body (the function its tf.function wraps:
# the replicas' step is traced as one function) runs once per replica on a view of the
# trainer that holds exactly STEP_READS, the attributes the step reads; a test runs the
# compiled step and checks that it reads these and no others. The constructor's arguments
# are forwarded as given, bound to its own signature to find the few replaced here.
_REPLICA_STEP = DetectionTrainer.__dict__["train_step"].python_function
STEP_READS = ("preprocess_input", "model", "loss", "optimizer")
_CONSTRUCTOR = inspect.signature(DetectionTrainer.__init__)
_DEFAULT = object()
_SMALL_BATCH = "CORVANE_GLOBAL_BATCH_TOO_SMALL"


class WorkerRole:
    """This process's place in a ``tf.distribute`` run: the one place that decides where
    the side effects of training go.

    The chief (the only worker of a one-machine strategy) writes where it is asked to.
    Another worker of a multi-worker cluster must still write whatever needs every worker
    (a checkpoint of a network with batch normalisation), but into a temporary folder of
    its own, outside any folder a user looks at, which :meth:`clear` removes afterwards.
    """

    def __init__(self, strategy: tf.distribute.Strategy):
        resolver = getattr(strategy, "cluster_resolver", None)
        spec = resolver.cluster_spec().as_dict() if resolver is not None else {}
        self.task_type = getattr(resolver, "task_type", None)
        self.task_id = getattr(resolver, "task_id", None)
        self.workers = sum(len(tasks) for job, tasks in spec.items() if job in ("chief", "worker"))
        self.multi_worker = self.workers > 1
        self.is_chief = bool(strategy.extended.should_checkpoint)
        self._root = None
        self._folders = []

    def folder(self, path: str | os.PathLike, name: str) -> str:
        """Where this worker writes what belongs in the folder ``path``: ``path`` itself on
        the chief; elsewhere the folder ``name`` in this worker's temporary folder."""
        if self.is_chief:
            return os.fspath(path)
        if self._root is None:
            prefix = f"corvane-{self.task_type}-{self.task_id}-"
            _remove_folders_of_dead_workers(prefix)
            self._root = tempfile.mkdtemp(prefix=f"{prefix}{os.getpid()}-")
            self._finalizer = weakref.finalize(self, shutil.rmtree, self._root, True)
        folder = os.path.join(self._root, name)
        self._folders.append(folder)
        return folder

    def clear(self) -> None:
        """Removes what this worker wrote into its temporary folders."""
        for folder in self._folders:
            shutil.rmtree(folder, ignore_errors=True)

    def close(self) -> None:
        """Removes this worker's temporary folder altogether."""
        if self._root is not None:
            self._finalizer()
            self._root, self._folders = None, []


def _remove_folders_of_dead_workers(prefix: str) -> None:
    """A worker killed outright cannot remove its temporary folder; the next worker of the
    same task on this machine removes those whose process (named in the folder) is gone.
    A folder of a live process, or of another user, stays."""
    if os.name == "nt":  # os.kill(pid, 0) there sends CTRL_C_EVENT instead of probing
        return
    root = tempfile.gettempdir()
    for name in os.listdir(root):
        pid = name[len(prefix) :].split("-", 1)[0]
        if not name.startswith(prefix) or not pid.isdigit():
            continue
        try:
            os.kill(int(pid), 0)
        except ProcessLookupError:
            shutil.rmtree(os.path.join(root, name), ignore_errors=True)
        except OSError:
            pass


class DistributedDetectionTrainer(DetectionTrainer):
    """A ``DetectionTrainer`` that trains on every replica of ``strategy``.

    Build the model and the optimizer inside ``strategy.scope()``. The arguments are the
    compiled trainer's, plus the keyword ``strategy``; ``dvclive_output`` and ``logger``
    are used by the chief only (another worker accepts ``logger=None``). ``train`` takes
    the compiled trainer's arguments; ``train_ds`` must be one of:

    * a ``tf.data.Dataset`` of global batches, split between the replicas (and, across
      workers, sharded by ``tf.data``'s auto-sharding, which keeps each global batch whole
      across the cluster);
    * a function of a ``tf.distribute.InputContext`` returning one worker's dataset of
      per-replica batches (``strategy.distribute_datasets_from_function``);
    * an object with a method ``dataset_for_epoch(epoch)`` returning that epoch's
      ``tf.data.Dataset`` of global batches, asked once per epoch;
    * a dataset that ``strategy`` has already distributed.

    Every global batch needs at least one example per replica.
    """

    def __init__(self, *args, strategy: tf.distribute.Strategy, **kwargs):
        if not isinstance(strategy, tf.distribute.Strategy):
            raise TypeError(
                "DistributedDetectionTrainer needs strategy=<a tf.distribute.Strategy>, the one "
                f"the model and the optimizer were built under; got {type(strategy).__name__}"
            )
        arguments = _CONSTRUCTOR.bind(self, *args, **kwargs).arguments
        del arguments[next(iter(_CONSTRUCTOR.parameters))]  # self

        def argument(name):
            return arguments.get(name, _CONSTRUCTOR.parameters[name].default)

        _check_in_scope(strategy, argument("model"), "model")
        _check_in_scope(strategy, argument("optimizer"), "optimizer")
        self.strategy = strategy
        self.role = WorkerRole(strategy)
        self._loss_sums_globally = _accepts_keyword(argument("loss").compute_loss, "global_sum")
        self._step_functions = {}
        self._step_function = None
        chief = self.role.is_chief
        arguments["checkpoint"] = self.role.folder(argument("checkpoint"), "checkpoint")
        if not chief:
            arguments.update(logger=_NoLogger(), dvclive_output=None)
        # Another worker's constructor would print the paths of its temporary folder.
        with contextlib.nullcontext() if chief else contextlib.redirect_stdout(io.StringIO()):
            super().__init__(**arguments)
        self.role.clear()

    @property
    def is_chief(self) -> bool:
        """Whether this process writes the run's outputs."""
        return self.role.is_chief

    def train(
        self, epochs, train_ds=None, val_ds=None, evaluator=None, start=1, callback_handler=_DEFAULT
    ):
        batches = _DistributedBatches(self.strategy, train_ds, start, self._use_step_for)
        if self.role.multi_worker:
            self._check_workers_agree(epochs, start, evaluator, val_ds)
        extra = () if callback_handler is _DEFAULT else (callback_handler,)
        try:
            return super().train(epochs, batches, val_ds, evaluator, start, *extra)
        finally:
            self.role.clear()

    train.__doc__ = DetectionTrainer.train.__doc__

    def train_step(self, data):
        """One step on every replica; returns the global batch's losses."""
        step = self._step_function or self._step_for(None)
        try:
            return step(data)
        except tf.errors.InvalidArgumentError as error:
            if _SMALL_BATCH not in error.message:
                raise
            found = re.search(_SMALL_BATCH + r"\] \[(\d+)\]", error.message)
            count = int(found.group(1)) if found else None
            size = "" if count is None else f"of {count} example{'' if count == 1 else 's'} "
            replicas = self.strategy.num_replicas_in_sync
            raise ValueError(
                f"A global batch {size}is smaller than the {replicas} replicas of "
                f"{type(self.strategy).__name__}: every replica needs at least one example. "
                f"Use a batch size of at least {replicas}, or drop the smaller last batch "
                "with Dataset.batch(batch_size, drop_remainder=True)."
            ) from None

    def save_model(self, val):
        val = float(val)
        if self.role.multi_worker:
            # Every worker must make the same saves, so all follow the chief's score.
            val = self._chief_value(val)
        if self.role.is_chief:
            return super().save_model(val)
        os.makedirs(self.checkpoint, exist_ok=True)
        try:
            return super().save_model(val)
        finally:
            for path in (self.last, self.best):
                with contextlib.suppress(FileNotFoundError):
                    os.remove(path)

    save_model.__doc__ = DetectionTrainer.save_model.__doc__

    def update_metrics(self, metrics=_DEFAULT, losses=_DEFAULT, epoch=0, live=None):
        if not self.role.is_chief:
            return None
        # Omitted arguments stay omitted: the compiled method's shared defaults apply.
        given = {"metrics": metrics, "losses": losses}
        given = {name: value for name, value in given.items() if value is not _DEFAULT}
        rate = self.current_lr
        if isinstance(rate, tf.distribute.DistributedValues):
            # MLflow takes float() of the rate, which a distributed variable refuses; its
            # value here is the chief's own copy, read without any other worker.
            self.current_lr = tf.convert_to_tensor(rate)
        try:
            return super().update_metrics(**given, epoch=epoch, live=live)
        finally:
            self.current_lr = rate

    update_metrics.__doc__ = DetectionTrainer.update_metrics.__doc__

    def close(self) -> None:
        """Removes this worker's temporary folder (the chief has none)."""
        self.role.close()

    # --- the step ------------------------------------------------------------------------

    def _use_step_for(self, element_spec):
        self._step_function = self._step_for(element_spec)

    def _step_for(self, element_spec):
        # One trace per kind of batch: a retrace on one worker alone (for a smaller last
        # batch) would leave the workers' collective operations out of step.
        if element_spec not in self._step_functions:
            if element_spec is None:
                function = tf.function(self._replicated_step, reduce_retracing=True)
            else:
                function = tf.function(self._replicated_step, input_signature=[element_spec])
            self._step_functions[element_spec] = function
        return self._step_functions[element_spec]

    def _replicated_step(self, data):
        per_replica = self.strategy.run(self._replica_step, args=(data,))
        return {
            key: self.strategy.experimental_local_results(value)[0]
            for key, value in per_replica.items()
        }

    def _replica_step(self, batch):
        context = tf.distribute.get_replica_context()
        replicas = context.num_replicas_in_sync
        examples = tf.shape(batch[0])[0]
        global_examples = context.all_reduce(tf.distribute.ReduceOp.SUM, examples)
        enough = tf.debugging.Assert(
            global_examples >= replicas, [_SMALL_BATCH, global_examples], name="global_batch"
        )
        with tf.control_dependencies([enough]):
            view = _ReplicaView(self, context, examples, global_examples)
            losses = _REPLICA_STEP(view, batch)
        # Each replica's values are its share: their sum is the global batch's value.
        return dict(context.all_reduce(tf.distribute.ReduceOp.SUM, dict(losses)))

    def _check_workers_agree(self, epochs, start, evaluator, val_ds):
        # A worker that validates, saves or steps when another does not leaves the others
        # waiting in a collective forever: fail on every worker at once instead.
        try:
            samples = len(val_ds)
        except TypeError:
            samples = -1
        settings = [epochs, start, evaluator is not None, self.skip_initial_validation]
        settings += [self.skip_validation_steps, samples]
        row = [_as_number(value) for value in settings]
        row.append(float(not self.role.is_chief and _mlflow_run_active()))
        local = tf.constant([row], tf.float64)
        rows = self.strategy.gather(
            self.strategy.experimental_distribute_values_from_function(lambda context: local),
            axis=0,
        ).numpy()
        if rows[:, -1].any():
            raise RuntimeError(
                "An MLflow run is active on a worker that is not the chief, so its checkpoints "
                "would be logged to it: start the MLflow run on the chief only "
                "(trainer.is_chief)."
            )
        if not (rows[:, :-1] == rows[0, :-1]).all():
            raise ValueError(
                "The workers were not started with the same training: (epochs, start, "
                "validation on, skip_initial_validation, skip_validation_steps, validation "
                f"samples) per replica are {rows[:, :-1].tolist()}. Run the same command, "
                "with the same evaluator and validation data, on every worker."
            )

    def _chief_value(self, value: float) -> float:
        first = [True]

        def contribution(context):
            mine = self.role.is_chief and first[0]
            first[0] = False
            return tf.constant(value if mine else 0.0, tf.float64)

        shares = self.strategy.experimental_distribute_values_from_function(contribution)
        return float(self.strategy.reduce(tf.distribute.ReduceOp.SUM, shares, axis=None))


class _ReplicaView:
    """What the compiled step reads of its trainer (``STEP_READS``), as one replica must
    see it."""

    def __init__(self, trainer, context, examples, global_examples):
        self.preprocess_input = trainer.preprocess_input
        self.optimizer = trainer.optimizer
        self.model = _ReplicaModel(trainer.model, context.num_replicas_in_sync)
        self.loss = _ReplicaLoss(
            trainer.loss, trainer._loss_sums_globally, context, examples, global_examples
        )

    def __getattr__(self, name):
        raise AttributeError(
            f"the compiled training step read trainer.{name}, which the distributed trainer "
            "does not give each replica: add it to STEP_READS and to _ReplicaView"
        )


class _ReplicaModel:
    """The model, with its regularisation losses split evenly between the replicas."""

    def __init__(self, model, replicas):
        self._model = model
        self._replicas = replicas

    def __call__(self, *args, **kwargs):
        return self._model(*args, **kwargs)

    @property
    def losses(self):
        return [tf.reduce_sum(self._model.losses) / self._replicas]

    @property
    def trainable_variables(self):
        return self._model.trainable_variables


class _ReplicaLoss:
    """The loss object, returning one replica's share of the global batch's losses."""

    def __init__(self, loss, sums_globally, context, examples, global_examples):
        self._loss = loss
        self._sums_globally = sums_globally
        self._context = context
        self._share = tf.cast(examples, tf.float32) / tf.cast(global_examples, tf.float32)

    def _global_sum(self, value):
        return self._context.all_reduce(tf.distribute.ReduceOp.SUM, tf.stop_gradient(value))

    def compute_loss(self, targets, predictions):
        if self._sums_globally:
            return self._loss.compute_loss(targets, predictions, global_sum=self._global_sum)
        losses = self._loss.compute_loss(targets, predictions)
        if not isinstance(losses, dict):
            return losses
        shares = {}
        for key, value in losses.items():
            value = tf.convert_to_tensor(value)
            if not value.dtype.is_floating:
                value = tf.cast(value, tf.float32)
            # A replica left without examples by a smaller last batch has the mean of
            # nothing (NaN) and a share of 0, which must give 0.
            shares[key] = tf.math.multiply_no_nan(value, tf.cast(self._share, value.dtype))
        return shares


class _NoLogger:
    """A worker other than the chief publishes nothing: the logger it is given instead."""

    writer = None

    def update_metrics(self, metrics, losses):
        pass


class _DistributedBatches:
    """The training batches of one epoch as the strategy hands them to its replicas, with
    the number of steps as its length when ``tf.data`` knows it (for the progress bar)."""

    def __init__(self, strategy, source, start, on_element_spec):
        self._strategy = strategy
        self._on_element_spec = on_element_spec
        self._per_epoch = None
        self._ready = None
        if hasattr(source, "dataset_for_epoch"):
            self._per_epoch = source
            self._epoch = start
        elif isinstance(source, tf.data.Dataset):
            self._ready = strategy.experimental_distribute_dataset(source)
        elif isinstance(source, tf.distribute.DistributedDataset):
            self._ready = source
        elif callable(source):
            self._ready = strategy.distribute_datasets_from_function(source)
        else:
            raise TypeError(_not_a_dataset("train_ds", source))
        self._fixed = self._ready is not None

    def _next(self):
        if self._ready is None:
            dataset = self._per_epoch.dataset_for_epoch(self._epoch)
            if not isinstance(dataset, tf.data.Dataset):
                raise TypeError(_not_a_dataset(f"dataset_for_epoch({self._epoch})", dataset))
            self._ready = self._strategy.experimental_distribute_dataset(dataset)
        return self._ready

    def __len__(self):
        steps = int(getattr(self._next(), "cardinality", tf.data.UNKNOWN_CARDINALITY))
        if steps < 0:
            raise TypeError("the number of steps of this dataset is not known")
        return steps

    def __iter__(self):
        distributed = self._next()
        if not self._fixed:
            self._ready = None
            self._epoch += 1
        self._on_element_spec(distributed.element_spec)
        return iter(distributed)


def _not_a_dataset(what, value) -> str:
    return (
        f"{what} must be a tf.data.Dataset of global batches (or a function of a "
        "tf.distribute.InputContext returning one worker's tf.data.Dataset, or an object "
        f"whose dataset_for_epoch(epoch) returns one); got {type(value).__name__}. "
        "Make one with tf.data.Dataset.from_tensor_slices(...).batch(batch_size)."
    )


def _accepts_keyword(function, name) -> bool:
    try:
        parameters = inspect.signature(function).parameters
    except (TypeError, ValueError):
        return False
    return name in parameters


def _variables_of(obj):
    variables = getattr(obj, "variables", [])
    variables = variables() if callable(variables) else variables
    iterations = getattr(obj, "iterations", None)
    if isinstance(iterations, tf.Variable):
        variables = [*variables, iterations]
    return variables


def _check_in_scope(strategy, obj, what):
    for variable in _variables_of(obj):
        if not strategy.extended.variable_created_in_scope(variable):
            raise ValueError(
                f"The {what} was built outside the scope of the {type(strategy).__name__} "
                f"given as strategy (its variable {variable.name!r} is not one of the "
                "strategy's): build the model and the optimizer inside "
                "`with strategy.scope():`."
            )


def _mlflow_run_active() -> bool:
    # Only a process that imported MLflow can have started a run.
    mlflow = sys.modules.get("mlflow")
    return mlflow is not None and mlflow.active_run() is not None


def _as_number(value) -> float:
    try:
        return float(value)
    except (TypeError, ValueError):
        return -2.0


def strategy_for_devices(count: int) -> tf.distribute.Strategy:
    """A ``MirroredStrategy`` over ``count`` devices of this machine: its first ``count``
    GPUs when it has that many, otherwise its CPU split into ``count`` logical devices.

    Splitting the CPU must happen before TensorFlow initialises its devices, so call this
    before any other TensorFlow operation of the process.
    """
    if count < 1:
        raise ValueError(f"the number of devices must be at least 1, not {count}")
    # Listing the physical devices leaves them uninitialised, unlike the logical ones.
    if len(tf.config.list_physical_devices("GPU")) >= count:
        return tf.distribute.MirroredStrategy([f"/gpu:{index}" for index in range(count)])
    cpu = tf.config.list_physical_devices("CPU")[0]
    wanted = [tf.config.LogicalDeviceConfiguration() for _ in range(count)]
    current = tf.config.get_logical_device_configuration(cpu)
    if current is None or len(current) != count:
        try:
            tf.config.set_logical_device_configuration(cpu, wanted)
        except RuntimeError as error:
            raise RuntimeError(
                f"Cannot split the CPU into {count} devices: TensorFlow has already "
                "initialised its devices in this process. Make the strategy before any "
                "other TensorFlow operation."
            ) from error
    return tf.distribute.MirroredStrategy([f"/cpu:{index}" for index in range(count)])
