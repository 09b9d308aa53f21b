import pytest
from hypothesis import HealthCheck, settings

import tavelmoor.common_functions as native
import twin

# Shared 2-core machines: timing-based health checks would only measure the load.
settings.register_profile("tavelmoor", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("tavelmoor")


@pytest.fixture
def module():
    import tavelmoor.common_functions as cf
    return cf


@pytest.fixture(scope="session", params=[native, twin], ids=["native", "twin"])
def impl(request):
    """For tests about results: the native module, then its plain-Python twin."""
    return request.param
