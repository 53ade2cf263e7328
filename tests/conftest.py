import os

from hypothesis import settings

# The machine running the suite is shared, so wall-clock deadlines would only add noise;
# CI also fixes the examples so that a red run can be repeated.
settings.register_profile("dev", deadline=None)
settings.register_profile("ci", deadline=None, derandomize=True, print_blob=True)
settings.load_profile("ci" if os.environ.get("CI") else "dev")
