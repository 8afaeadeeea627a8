"""``python -m corvex``: the same command line as the ``corvex`` script."""

from corvex.cli import main

raise SystemExit(main())
