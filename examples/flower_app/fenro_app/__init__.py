"""A Flower app whose server aggregates with fenro."""
