"""Training callbacks for the Tessmark trainer."""


class TessmarkTrainingCallback:
    """Callback handler with every hook ``DetectionTrainer.train`` calls; each does nothing."""

    def on_train_start(self, epochs):
        pass

    def on_evaluation_start(self):
        pass

    # The spelling is part of the trainer's contract.
    def on_evaluaiton_end(self, metrics):
        pass

    def on_epoch_start(self, epoch):
        pass

    def on_step_start(self, step):
        pass

    def on_step_end(self, losses, lr):
        pass

    def on_model_save(self, model):
        pass

    def on_epoch_end(self, losses, metrics):
        pass

    def on_train_end(self):
        pass
