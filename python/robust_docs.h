// Paragraphs that the docstrings of fenro._robust's functions share.
#ifndef FENRO_PYTHON_ROBUST_DOCS_H_
#define FENRO_PYTHON_ROBUST_DOCS_H_

#define FENRO_DOC_UPDATES                                                                  \
  "    updates: A sequence of 2-D float32 arrays of one shape, or one 3-D float32\n"       \
  "        array of shape (n, rows, cols) whose slices are the n updates. Arrays of\n"    \
  "        any layout are accepted; aligned row-major data is read in place.\n"
#define FENRO_DOC_RETURNS_ONE                                                              \
  "Returns:\n"                                                                             \
  "    A new float32 array of the updates' shape.\n\n"
#define FENRO_DOC_RAISES                                                                   \
  "Raises:\n"                                                                              \
  "    TypeError: updates are not float32 arrays as above, or a parameter has the\n"      \
  "        wrong type.\n"                                                                  \
  "    ValueError: no updates, updates of different shapes, a NaN or infinity, or a\n"    \
  "        parameter out of its range; the message names it and the range."

#endif  // FENRO_PYTHON_ROBUST_DOCS_H_
