"""float64 NumPy reference of fenro.robust, written from the rules' definitions, for the tests.

Every function takes an (n, rows, cols) float32 array and returns float64 results. Ties go to
the lower index wherever the definitions say so (stable sorts on the index order).
"""

import math

import numpy as np

MASK = (1 << 64) - 1


def flat(u):
    return np.asarray(u, np.float64).reshape(len(u), -1)


def flat32(u):
    return np.asarray(u, np.float32).reshape(len(u), -1)


def median(u):
    return np.median(np.asarray(u, np.float64), axis=0)


def trimmed_mean(u, trim):
    n = len(u)
    k = math.ceil(float(np.float32(np.float32(trim) * np.float32(n))))
    s = np.sort(np.asarray(u, np.float64), axis=0)
    return s[k:n - k].mean(axis=0)


def bfp16(x):
    """Krum's encoding of one update: 16-bit mantissas sharing one exponent."""
    x = np.asarray(x, np.float32).ravel()
    top = np.abs(x).max()
    if top == 0:
        return [0] * len(x), 0
    e = max(-126, min(126, int(np.ceil(np.log2(top)) - np.float32(15))))
    scaled = x.astype(np.float64) * 2.0 ** -e
    mantissas = np.clip(np.sign(scaled) * np.floor(np.abs(scaled) + 0.5), -32767, 32767)
    return [int(v) for v in mantissas], e


def bfp16_distance(a, b):
    """Squared distance in units of 2^(2 * the smaller exponent); units are never reconciled
    between pairs, which is what Krum compares."""
    (ma, ea), (mb, eb) = a, b
    d = ea - eb
    if abs(d) >= 16:
        return 2**63 - 1
    return sum(((p << max(d, 0)) - (q << max(-d, 0))) ** 2 for p, q in zip(ma, mb))


def krum_scores(x, f, idx):
    """Krum scores of the updates `idx` among themselves, each the sum of its
    max(n' - f - 2, 1) smallest distances."""
    enc = [bfp16(x[i]) for i in idx]
    k = max(len(idx) - f - 2, 1)
    return [sum(sorted(bfp16_distance(enc[a], enc[b]) for b in range(len(idx)) if b != a)[:k])
            for a in range(len(idx))]


def krum_pick(x, f, idx):
    scores = krum_scores(x, f, idx)
    return idx[scores.index(min(scores))]


def around_median(values, keep):
    """Per coordinate of values (m, d): mean of the `keep` values nearest the median."""
    med = np.median(values, axis=0)
    order = np.argsort(np.abs(values - med), axis=0, kind="stable")[:keep]
    return np.take_along_axis(values, order, axis=0).mean(axis=0)


def meamed(u, f):
    x = flat(u)
    return around_median(x, len(x) - f).reshape(u.shape[1:])


def bulyan(u, f):
    x = flat(u)
    remaining, selected = list(range(len(x))), []
    while len(selected) < len(x) - 2 * f:
        pick = remaining[0] if len(remaining) == 1 else krum_pick(x, f, remaining)
        selected.append(pick)
        remaining.remove(pick)
    chosen = sorted(selected)
    theta = len(chosen)
    return around_median(x[chosen], theta - 2 * f).reshape(u.shape[1:]), selected


def geometric_median(u, weights=None, nu=1e-6, tol=1e-7, max_iter=100):
    x = flat(u)
    w = np.ones(len(x)) if weights is None else np.asarray(weights, np.float64)
    x, w = x[w > 0], w[w > 0]
    z = (w[:, None] * x).sum(0) / w.sum()

    def objective(z):
        return float((w * np.sqrt(((x - z) ** 2).sum(1))).sum())

    best, best_f = z, objective(z)
    prev = best_f
    for _ in range(max_iter):
        if prev == 0:
            break
        beta = w / np.maximum(nu, np.sqrt(((x - z) ** 2).sum(1)))
        z = (beta[:, None] * x).sum(0) / beta.sum()
        f = objective(z)
        if f < best_f:
            best, best_f = z, f
        if not prev - f >= tol * prev:
            break
        prev = f
    return best.reshape(u.shape[1:])


def centered_clipping(u, tau, iterations=1, center=None):
    x = flat(u)
    v = (median(u) if center is None else np.asarray(center, np.float64)).reshape(-1)
    for _ in range(iterations):
        dev = x - v
        dist = np.sqrt((dev ** 2).sum(1))
        with np.errstate(divide="ignore"):
            factor = np.where(dist > 0, np.minimum(1.0, tau / np.where(dist > 0, dist, 1)), 0.0)
        v = v + (dev * factor[:, None]).sum(0) / len(x)
    return v.reshape(u.shape[1:])


def nnm(u, f):
    x = flat(u)
    n = len(x)
    d = ((x[:, None, :] - x[None, :, :]) ** 2).sum(-1)
    out = [x[np.argsort(d[i], kind="stable")[:n - f]].mean(0) for i in range(n)]
    return np.array(out).reshape(u.shape)


def splitmix64(state):
    state = (state + 0x9E3779B97F4A7C15) & MASK
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return state, z ^ (z >> 31)


def bucketing_permutation(n, seed):
    perm, state = list(range(n)), seed
    for i in range(n - 1, 0, -1):
        state, draw = splitmix64(state)
        j = draw % (i + 1)
        perm[i], perm[j] = perm[j], perm[i]
    return perm


def bucketing(u, s, seed):
    x = np.asarray(u, np.float64)
    perm = bucketing_permutation(len(x), seed)
    return np.array([x[perm[b:b + s]].mean(0) for b in range(0, len(x), s)]), perm


def norms(u):
    return np.sqrt((flat(u) ** 2).sum(1))


def clip(u, c):
    x = np.asarray(u, np.float64)
    nrm = norms(u)
    factor = np.minimum(1.0, c / np.where(nrm > 0, nrm, 1))
    return x * factor[:, None, None]


def arc(u, f):
    n = len(u)
    k = 2 * f * (n - f) // n
    nrm = norms(u)
    order = np.argsort(-nrm, kind="stable")
    threshold = nrm[order[k]]
    factor = np.ones(n)
    factor[order[:k]] = threshold / nrm[order[:k]]
    return np.asarray(u, np.float64) * factor[:, None, None], k, list(order[:k])


def _sorted_with_weights(u, weights):
    """Per coordinate, the values in ascending order (ties by index) and their weights."""
    x = flat(u)
    w = np.asarray(weights, np.float32).astype(np.float64)
    order = np.argsort(x, axis=0, kind="stable")
    return np.take_along_axis(x, order, axis=0), w[order]


def weighted_median(u, weights):
    """The smallest value at which the cumulative weight, in sorted order, reaches half the
    total (an update of zero weight never is that value)."""
    values, w = _sorted_with_weights(u, weights)
    out = np.empty(values.shape[1])
    for c in range(values.shape[1]):
        total, cum = w[:, c].sum(), 0.0
        for v, wv in zip(values[:, c], w[:, c]):
            cum += wv
            if 2 * cum >= total and wv > 0:
                out[c] = v
                break
    return out.reshape(np.shape(u)[1:])


def weighted_trimmed_mean(u, weights, trim):
    """A weight mass of trim * W trimmed from each end, the boundary values keeping the
    untrimmed part of their weight."""
    values, w = _sorted_with_weights(u, weights)
    out = np.empty(values.shape[1])
    for c in range(values.shape[1]):
        total = w[:, c].sum()
        cut = np.float64(np.float32(trim)) * total
        before = np.concatenate([[0.0], np.cumsum(w[:, c])[:-1]])
        after = before + w[:, c]
        keep = w[:, c] - np.clip(cut - before, 0, w[:, c]) - np.clip(after - (total - cut), 0,
                                                                        w[:, c])
        keep = np.maximum(keep, 0)
        out[c] = (keep * values[:, c]).sum() / keep.sum()
    return out.reshape(np.shape(u)[1:])
