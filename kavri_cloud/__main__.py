"""`python -m kavri_cloud` runs the kavri-cloud command."""

from kavri_cloud.cli import main

raise SystemExit(main())
