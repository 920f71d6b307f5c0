"""What a scan gives: `VirialEstimate` and `VirialScan`, curves through B(T),
thermodynamics from the entries, derived properties and experiment beside model."""
