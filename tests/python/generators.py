"""Seeded random inputs for the differential tests, drawn from families that
reach every branch of the contact routines: ordinary, touching, coincident,
tiny, huge, degenerate and non-finite."""

import math

import numpy as np

SPECIALS = [0.0, -0.0, math.inf, -math.inf, math.nan, 1e-300, -1e-300, 5e-324, 1e300, -1e300]


def rotation(rng):
    """A rotation matrix (rows) from a random unit quaternion."""
    q = [rng.gauss(0, 1) for _ in range(4)]
    n = math.sqrt(sum(x * x for x in q)) or 1.0
    w, x, y, z = (c / n for c in q)
    return [
        [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
        [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
        [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)],
    ]


def axis_rotation(rng):
    """Identity with its columns permuted and signed: axis-aligned boxes."""
    perm = rng.sample(range(3), 3)
    R = [[0.0] * 3 for _ in range(3)]
    for c, r in enumerate(perm):
        R[r][c] = rng.choice([1.0, -1.0])
    return R


def vec3(rng, scale=1.0):
    return [rng.uniform(-scale, scale) for _ in range(3)]


def poison(rng, values, p=0.5):
    """Replaces one entry of a flat list with a special value, with chance p."""
    values = list(values)
    if rng.random() < p:
        values[rng.randrange(len(values))] = rng.choice(SPECIALS)
    return values


def sphere_pair(rng):
    family = rng.randrange(7)
    ca = vec3(rng, 5)
    ra, rb = rng.uniform(0, 2), rng.uniform(0, 2)
    if family == 0:  # ordinary, about half overlapping
        cb = [c + d for c, d in zip(ca, vec3(rng, 3))]
    elif family == 1:  # exactly touching along an axis
        cb = list(ca)
        cb[rng.randrange(3)] += ra + rb
    elif family == 2:  # coincident or nearly so (the fallback normal)
        cb = [c + rng.choice([0.0, 1e-10, 1e-9, -1e-9, 2e-9]) for c in ca]
    elif family == 3:  # tiny offsets: hypot branch below the safe range
        cb = [c + rng.choice([0.0, 1e-150, -3e-160, 1e-145]) for c in ca]
        ra, rb = rng.choice([1e-150, 1e-140, 0.0]), rng.choice([1e-150, 1.0])
    elif family == 4:  # huge offsets: hypot branch above the safe range
        ca = [rng.uniform(-1, 1) * 1e200 for _ in range(3)]
        cb = [rng.uniform(-1, 1) * 1e200 for _ in range(3)]
        ra, rb = rng.choice([1e200, 3e200, 1.0]), rng.choice([1e200, 0.0])
    elif family == 5:  # zero or negative radii
        cb = [c + d for c, d in zip(ca, vec3(rng, 1))]
        ra, rb = rng.choice([0.0, -1.0, -0.0]), rng.choice([0.0, 0.5, -0.5])
    else:  # non-finite somewhere
        cb = [c + d for c, d in zip(ca, vec3(rng, 3))]
        ca, cb, (ra, rb) = poison(rng, ca, 1), poison(rng, cb), poison(rng, [ra, rb])
    return ca, ra, cb, rb


def sphere_box_case(rng):
    family = rng.randrange(7)
    R = rotation(rng) if rng.random() < 0.7 else axis_rotation(rng)
    cb = vec3(rng, 5)
    hb = [rng.uniform(0.1, 3) for _ in range(3)]
    rs = rng.uniform(0, 2)
    local = [rng.uniform(-1.5, 1.5) * h for h in hb]
    if family == 1:  # centre inside, often on a tie between faces
        local = [rng.choice([0.0, 0.5, -0.5]) * h for h in hb]
        if rng.random() < 0.5:
            hb = [hb[0]] * 3
    elif family == 2:  # on the surface or within 1e-9 of it
        j = rng.randrange(3)
        local[j] = rng.choice([1, -1]) * hb[j] + rng.choice([0.0, 5e-10, -5e-10, 2e-9])
    elif family == 3:  # exactly touching along a face normal
        R, local = axis_rotation(rng), [0.0, 0.0, 0.0]
        j = rng.randrange(3)
        local[j] = hb[j] + rs
    elif family == 4:  # point box or flat box
        hb = [rng.choice([0.0, h]) for h in hb]
    elif family == 5:  # non-orthonormal rotation
        R = [[x * rng.uniform(0.5, 2) for x in row] for row in R]
    elif family == 6:  # non-finite somewhere
        flat = poison(rng, [x for row in R for x in row], 0.3)
        R = [flat[0:3], flat[3:6], flat[6:9]]
        hb, cb = poison(rng, hb, 0.3), poison(rng, cb, 0.3)
        rs = poison(rng, [rs], 0.3)[0]
    cs = [cb[i] + sum(R[i][j] * local[j] for j in range(3)) for i in range(3)]
    return cs, rs, cb, R, hb


def arrays(*values):
    """NumPy float64 arrays of the vector and matrix arguments, numbers as is."""
    return [np.array(v, dtype=np.float64) if isinstance(v, list) else v for v in values]


def box_pair(rng):
    """(ca, Ra, ha, cb, Rb, hb) as lists; about 70% of ordinary pairs overlap."""
    family = rng.randrange(10)
    Ra, Rb = rotation(rng), rotation(rng)
    ha = [rng.uniform(0.1, 3) for _ in range(3)]
    hb = [rng.uniform(0.1, 3) for _ in range(3)]
    ca = vec3(rng, 5)
    reach = math.sqrt(sum(x * x for x in ha)) + math.sqrt(sum(x * x for x in hb))
    direction = [rng.gauss(0, 1) for _ in range(3)]
    norm = math.sqrt(sum(x * x for x in direction)) or 1.0
    dist = rng.uniform(0, 0.95) * reach
    cb = [c + dist * d / norm for c, d in zip(ca, direction)]
    if family == 1:  # axis-aligned boxes, often with parallel faces
        Ra, Rb = axis_rotation(rng), axis_rotation(rng)
    elif family == 2:  # one shared rotation: every edge pair parallel
        Rb = [row[:] for row in Ra]
    elif family == 3:  # coincident centres
        cb = list(ca)
    elif family == 4:  # exactly touching faces along an axis
        Ra = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
        Rb = [row[:] for row in Ra]
        j = rng.randrange(3)
        cb = list(ca)
        cb[j] += rng.choice([1.0, -1.0]) * (ha[j] + hb[j])
    elif family == 5:  # zero half-extents: flat, line or point boxes
        for h in (ha, hb):
            for j in range(3):
                if rng.random() < 0.4:
                    h[j] = 0.0
    elif family == 6:  # non-finite somewhere
        values = ca + [x for row in Ra for x in row] + ha + cb + [x for row in Rb for x in row] + hb
        values = poison(rng, values, 1.0)
        ca, Ra, ha = values[0:3], [values[3:6], values[6:9], values[9:12]], values[12:15]
        cb, Rb, hb = values[15:18], [values[18:21], values[21:24], values[24:27]], values[27:30]
    elif family == 7:  # nearly parallel edges: B is A turned by a tiny angle
        eps = rng.choice([1e-9, 1e-8, 1e-7, 1e-12])
        c, s = math.cos(eps), math.sin(eps)
        turn = [[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]]
        Rb = [[sum(Ra[i][k] * turn[k][j] for k in range(3)) for j in range(3)] for i in range(3)]
    elif family == 8:  # barely separated or barely touching, nearly coplanar faces
        Rb = [[x + rng.choice([0.0, 1e-15, -1e-15]) for x in row] for row in Ra]
        j = rng.randrange(3)
        gap = rng.choice([0.0, 1e-12, -1e-12, 1e-7, -1e-7])
        cb = [ca[i] + Ra[i][j] * (ha[j] + hb[j] + gap) for i in range(3)]
    elif family == 9:  # the whole scene at a huge or tiny scale
        k = rng.choice([1e-150, 1e-300, 1e150, 1e300])
        ca, cb = [x * k for x in ca], [x * k for x in cb]
        ha, hb = [x * k for x in ha], [x * k for x in hb]
    return ca, Ra, ha, cb, Rb, hb


def unit(rng_or_vector):
    """A random unit vector, or the given vector normalised."""
    v = rng_or_vector if isinstance(rng_or_vector, list) else [rng_or_vector.gauss(0, 1) for _ in range(3)]
    n = math.sqrt(sum(x * x for x in v)) or 1.0
    return [x / n for x in v]


def capsule_case(rng, triangles=16):
    """(c0, c1, radius, [triangle, ...]) with triangles near the capsule."""
    family = rng.randrange(9)
    c0 = vec3(rng, 1.5)
    c1 = [c + d for c, d in zip(c0, vec3(rng, 2))]
    radius = rng.uniform(0, 1)
    if family == 1:  # zero-length capsule: a sphere
        c1 = list(c0)
    elif family == 2:  # nearly zero length (the 1e-09 point test)
        c1 = [c + rng.choice([0.0, 1e-6, 3e-5, 4e-5]) for c in c0]
    elif family == 3:  # crossing the plane z = 0 that the triangles lie near
        c0[2], c1[2] = rng.uniform(0.05, 1), -rng.uniform(0.05, 1)
    elif family == 4:  # lying flat in or just above the plane
        c0[2] = c1[2] = rng.choice([0.0, 1e-12, rng.uniform(0, 0.5)])
    elif family == 5:  # non-finite somewhere
        c0, c1 = poison(rng, c0), poison(rng, c1)
        radius = poison(rng, [radius], 0.3)[0]
    elif family == 6:  # zero or negative radius
        radius = rng.choice([0.0, -0.5, 1e-300])
    elif family == 7:  # long: its ends reach far past the triangles
        c1 = [c + rng.uniform(5, 30) * x for c, x in zip(c0, unit(rng))]
    tris = []
    for _ in range(triangles):
        kind = rng.randrange(9)
        tri = [[rng.uniform(-2, 2), rng.uniform(-2, 2), rng.uniform(-0.3, 0.3)] for _ in range(3)]
        if kind == 1:  # flat in the plane z = 0 (face pass, exact ties)
            for p in tri:
                p[2] = 0.0
        elif kind == 2:  # degenerate: collinear or coincident vertices
            t = rng.choice([0.0, 0.5, 1.0, 2.0])
            tri[2] = [a + t * (b - a) for a, b in zip(tri[0], tri[1])]
        elif kind == 3:  # sliver around the 1e-09 area threshold
            tri[2] = [a + rng.choice([1e-9, 1e-10, 1e-8]) * (k + 1) for k, a in enumerate(tri[1])]
        elif kind == 4:  # small triangle under an end point
            s = rng.uniform(1e-3, 0.5)
            base = rng.choice([c0, c1])
            tri = [[base[0] + s * rng.uniform(-1, 1), base[1] + s * rng.uniform(-1, 1),
                    base[2] - rng.uniform(0, 1)] for _ in range(3)]
        elif kind == 5:  # poisoned
            flat = poison(rng, [x for p in tri for x in p], 0.5)
            tri = [flat[0:3], flat[3:6], flat[6:9]]
        elif kind in (6, 7):  # a vertex or an edge at about the radius from the axis
            t = rng.choice([0.0, 1.0, rng.random()])
            on_axis = [a + t * (b - a) for a, b in zip(c0, c1)]
            u = [rng.gauss(0, 1) for _ in range(3)]
            n = math.sqrt(sum(x * x for x in u)) or 1.0
            reach = abs(radius) * (1 + rng.choice([0.0, 1e-15, -1e-15, 1e-12, -1e-12, 1e-9, -1e-9]))
            near = [p + reach * x / n for p, x in zip(on_axis, u)]
            away = [p + 2 * x / n for p, x in zip(near, u)]
            side = vec3(rng, 1)
            second = near if kind == 7 else [a + b for a, b in zip(away, side)]
            tri = [near, [a + b for a, b in zip(second, side)], [a - b for a, b in zip(away, side)]]
        elif kind == 8:  # tilted, around the foot of an end behind a plane that the axis crosses
            end, other = (c0, c1) if rng.random() < 0.5 else (c1, c0)
            cross_at = [e + rng.uniform(0.05, 0.45) * (o - e) for e, o in zip(end, other)]
            n = unit(rng)
            if sum((o - e) * x for e, o, x in zip(end, other, n)) < 0:
                n = [-x for x in n]  # the centre in front, the end behind
            height = sum((e - x) * k for e, x, k in zip(end, cross_at, n))
            foot = [e - height * k for e, k in zip(end, n)]
            r = unit(rng)
            along = sum(x * y for x, y in zip(r, n))
            u = unit([a - along * b for a, b in zip(r, n)])
            w = [n[1] * u[2] - n[2] * u[1], n[2] * u[0] - n[0] * u[2], n[0] * u[1] - n[1] * u[0]]
            s = rng.uniform(1e-3, 0.5)
            # The foot inside, on an edge, or just outside it.
            off = rng.choice([0.0, 1e-10, -1e-10, 1e-9, -1e-9, 2e-9, -2e-9, 1e-6, -1e-6])
            tri = [[f - s * a + off * b for f, a, b in zip(foot, u, w)],
                   [f + s * a + off * b for f, a, b in zip(foot, u, w)],
                   [f + 2 * s * b for f, b in zip(foot, w)]]
        if rng.random() < 0.5:  # the other winding
            tri = [tri[0], tri[2], tri[1]]
        tris.append(tri)
    return c0, c1, radius, tris
