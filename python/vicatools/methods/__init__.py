"""Ways of computing a virial coefficient, one module each."""
