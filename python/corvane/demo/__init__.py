"""A small detector trained end to end on synthetic shapes by ``DetectionTrainer``.

Run ``python -m corvane.demo --help`` for the options. The demo is a thin application over
the library (``corvane.tessmark``, ``corvane.validator``): what is its own is the built-in
shapes (:mod:`.data`) and crowded scenes (:mod:`.crowded`), the grid network
(:mod:`.model`) and what its two detectors differ in (:mod:`.detectors`), COCO files as its
data and the export of the built-in sets (:mod:`.coco`), what it prints and keeps of a run
(:mod:`.resume`) and the command (:mod:`.app`).
"""
