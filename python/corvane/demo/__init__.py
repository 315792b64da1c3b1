"""A small detector trained end to end on synthetic shapes by ``DetectionTrainer``.

Run ``python -m corvane.demo --help`` for the options. The pieces are usable on
their own: :mod:`.data` (images and targets), :mod:`.coco` (COCO-format data and
the export of the shapes), :mod:`.model` (the Keras network), :mod:`.evaluator`
(runner, metrics, plots) and :mod:`.app` (the command).
"""
