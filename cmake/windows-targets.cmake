# Windows programs: added below.
