"""Ways of computing a coefficient, one module each, behind `methods.base.Method`."""
