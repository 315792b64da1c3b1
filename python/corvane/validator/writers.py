"""Writers that carry validation results to TensorBoard."""


class TrainingTensorBoardWriter:
    """Keeps the logger's summary writer for the evaluator.

    ``DetectionTrainer`` builds one from ``logger.writer`` and hands it to the
    evaluator as ``val_messenger``; the evaluator sends flagged validation
    images and its own scalars through it.
    """

    def __init__(self, writer):
        self.writer = writer
