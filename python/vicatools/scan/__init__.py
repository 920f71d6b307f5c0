"""How runs are made: tasks, executors (process pools, Dask), the results store,
resume, failures and signals.  Knows nothing of any method's insides: a task is run
by the method it names (`vicatools.methods`)."""
