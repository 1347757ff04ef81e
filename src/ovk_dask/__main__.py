import sys

from ovk_dask.cli import main

sys.exit(main())
