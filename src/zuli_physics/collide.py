"""The pure-Python twin of zuli_physics' native contact routines, on plain floats.

Written straight from the documented arithmetic, one operation at a time:
every function here gives, bit for bit, what the native function of the same
name gives (the test suite checks it on millions of cases). Python floats are
IEEE doubles and CPython evaluates without fused multiply-add, so each
expression rounds exactly as the native code does. ``hypot`` comes from the C
library (through ctypes) because ``math.hypot`` may differ from it in the last
bit; ``sqrt`` is correctly rounded in both.

Use it to read how a contact is computed, to step through one in a debugger,
or where the extension cannot be built. It is about a hundred times slower
than the native functions.

Vectors are 3-sequences and rotations 3x3 nested sequences R[row][col] whose
column j is the box's axis j (NumPy arrays work too: the public functions take
the first three elements of each as floats). The pairwise functions return
``(count, normal, points, depths)`` like the native ones.

>>> from zuli_physics import collide
>>> I = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
>>> count, normal, points, depths = collide.box_box(
...     (0.0, 0.0, 0.0), I, (1.0, 1.0, 1.0), (0.0, 0.0, 1.5), I, (1.0, 1.0, 1.0))
>>> count, normal, depths
(4, (0.0, 0.0, 1.0), [0.5, 0.5, 0.5, 0.5])
"""

import ctypes
import ctypes.util
import math

_libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
_libm.hypot.restype = ctypes.c_double
_libm.hypot.argtypes = (ctypes.c_double, ctypes.c_double)
c_hypot = _libm.hypot
sqrt = math.sqrt

__all__ = [
    "box_box", "box_sat", "best_face_axis", "box_clip", "reduce_manifold",
    "sphere_sphere", "sphere_box", "norm3",
    "closest_pt_triangle", "closest_pts_segment_segment", "capsule_triangle_contact", "capsule_triangles",
]

MAX_CONTACTS = 4
MAX_POLY = 16
SEPARATED = (0, (0.0, 0.0, 0.0), [], [])


def dot(a, b):
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]


def sub(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def add(a, b):
    return (a[0] + b[0], a[1] + b[1], a[2] + b[2])


def scale(a, s):
    return (a[0] * s, a[1] * s, a[2] * s)


def neg(a):
    return (-a[0], -a[1], -a[2])


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def col(R, j):
    return (R[0][j], R[1][j], R[2][j])


# ---------------------------------------------------------------- spheres


def norm3(x, y, z):
    s = (x * x + y * y) + z * z
    if 1e-280 < s and s < 1e280:
        return sqrt(s)
    return c_hypot(c_hypot(x, y), z)


def _vec(v):
    return (float(v[0]), float(v[1]), float(v[2]))


def _mat(R):
    return tuple(_vec(R[i]) for i in range(3))


def sphere_sphere(ca, ra, cb, rb):
    """Sphere against sphere: (count, normal from a towards b, [point], [depth]).
    Exactly touching spheres are separated."""
    ca, ra, cb, rb = _vec(ca), float(ra), _vec(cb), float(rb)
    dx, dy, dz = cb[0] - ca[0], cb[1] - ca[1], cb[2] - ca[2]
    dist = norm3(dx, dy, dz)
    r = ra + rb
    if dist >= r:
        return SEPARATED
    if dist > 1e-9:
        n = (dx / dist, dy / dist, dz / dist)
    else:
        n = (0.0, 1.0, 0.0)
    depth = r - dist
    f = ra - depth * 0.5
    p = (f * n[0] + ca[0], f * n[1] + ca[1], f * n[2] + ca[2])
    return (1, n, [p], [depth])


def sphere_box(cs, rs, cb, R, h):
    """Sphere against oriented box: (count, normal from the sphere towards the
    box, [point], [depth]). Exactly touching is a contact of depth 0."""
    cs, rs, cb, R, h = _vec(cs), float(rs), _vec(cb), _mat(R), _vec(h)
    s = sub(cs, cb)
    l = [(s[0] * R[0][j] + s[1] * R[1][j]) + s[2] * R[2][j] for j in range(3)]
    c = []
    for j in range(3):
        if l[j] > h[j]:
            c.append(h[j])
        elif l[j] < -h[j]:
            c.append(-h[j])
        else:
            c.append(l[j])
    d = [l[j] - c[j] for j in range(3)]
    dist = norm3(d[0], d[1], d[2])
    if dist > rs:
        return SEPARATED
    if dist > 1e-9:
        nl = (d[0] / dist, d[1] / dist, d[2] / dist)
        depth = rs - dist
    else:
        m = [h[j] - (l[j] if l[j] >= 0 else -l[j]) for j in range(3)]
        axis, mm = 0, m[0]
        if m[1] < mm:
            axis, mm = 1, m[1]
        if m[2] < mm:
            axis, mm = 2, m[2]
        nl = [0.0, 0.0, 0.0]
        nl[axis] = 1.0 if l[axis] >= 0 else -1.0
        depth = mm + rs
    n = tuple(-((R[i][0] * nl[0] + R[i][1] * nl[1]) + R[i][2] * nl[2]) for i in range(3))
    w = tuple(((cb[i] + R[i][0] * c[0]) + R[i][1] * c[1]) + R[i][2] * c[2] for i in range(3))
    return (1, n, [w], [depth])


# ------------------------------------------------------------------ boxes

IN_FACE = ((1, 2), (0, 2), (0, 1))


def best_face_axis(R, v):
    index, best, kept = 0, -1.0, dot(v, col(R, 0))
    for j in range(3):
        d = dot(v, col(R, j))
        if abs(d) > best:
            index, best, kept = j, abs(d), d
    return index, (1.0 if kept >= 0 else -1.0)


def box_axes(Ra, Rb):
    axes = [col(Ra, j) for j in range(3)] + [col(Rb, j) for j in range(3)]
    for i in range(3):
        for k in range(3):
            e = cross(col(Ra, i), col(Rb, k))
            sq = (e[0] * e[0] + e[1] * e[1]) + e[2] * e[2]
            if sq > 1e-18:
                r = 1.0 / sqrt(sq)
                axes.append((r * e[0], r * e[1], r * e[2]))
    return axes


def box_sat(ca, Ra, ha, cb, Rb, hb):
    """(count, normal, points, depths); normal None when separated."""
    axes = box_axes(Ra, Rb)
    d = sub(cb, ca)
    least, normal = 1e300, (0.0, 0.0, 0.0)
    for L in axes:
        s = dot(L, d)
        rA = (abs(dot(L, col(Ra, 0))) * ha[0] + abs(dot(L, col(Ra, 1))) * ha[1]) + abs(
            dot(L, col(Ra, 2))
        ) * ha[2]
        rB = (abs(dot(L, col(Rb, 0))) * hb[0] + abs(dot(L, col(Rb, 1))) * hb[1]) + abs(
            dot(L, col(Rb, 2))
        ) * hb[2]
        overlap = (rA + rB) - abs(s)
        if overlap < 0:
            return None
        if overlap < least:
            least = overlap
            normal = L if s >= 0 else neg(L)
    pts, dep = box_clip(ca, Ra, ha, cb, Rb, hb, normal, least)
    return normal, pts, dep


def _max_alignment(R, n):
    best = -1.0
    for j in range(3):
        v = abs(dot(n, col(R, j)))
        if v > best:
            best = v
    return best


def _clip_pass(poly, P, U):
    out = []
    k = len(poly)
    for l in range(k):
        V, W = poly[l], poly[(l + 1) % k]
        a = dot(P, V) - U
        b = dot(P, W) - U
        # A pass keeps at most MAX_POLY vertices (rounding can make more).
        if a <= 0 and len(out) < MAX_POLY:
            out.append(V)
        if a * b < 0:
            t = a / (a - b)
            if len(out) < MAX_POLY:
                out.append(add(V, scale(sub(W, V), t)))
    return out


def box_clip(ca, Ra, ha, cb, Rb, hb, n, least):
    if _max_alignment(Ra, n) >= _max_alignment(Rb, n):
        (cr, Rr, hr), (ci, Ri, hi), m = (ca, Ra, ha), (cb, Rb, hb), n
    else:
        (cr, Rr, hr), (ci, Ri, hi), m = (cb, Rb, hb), (ca, Ra, ha), neg(n)
    ji, si = best_face_axis(Ri, neg(m))
    t1, t2 = IN_FACE[ji]
    u, w = hi[t1], hi[t2]
    f = add(ci, scale(col(Ri, ji), si * hi[ji]))
    I1, I2 = col(Ri, t1), col(Ri, t2)
    poly = [
        add(add(f, scale(I1, u)), scale(I2, w)),
        add(sub(f, scale(I1, u)), scale(I2, w)),
        sub(sub(f, scale(I1, u)), scale(I2, w)),
        sub(add(f, scale(I1, u)), scale(I2, w)),
    ]
    jr, sr = best_face_axis(Rr, m)
    r1, r2 = IN_FACE[jr]
    q = add(add(add(cr, scale(col(Rr, jr), sr * hr[jr])), scale(col(Rr, r1), hr[r1])), scale(col(Rr, r2), hr[r2]))
    for i in range(3):
        if i == jr:
            continue
        for sigma in (1.0, -1.0):
            P = scale(col(Rr, i), sigma)
            U = dot(P, cr) + hr[i]
            poly = _clip_pass(poly, P, U)
            if not poly:
                break
        if not poly:
            break
    cand, depths = [], []
    for p in poly:
        s = dot(m, sub(q, p))
        if s >= -1e-06:
            cand.append(add(p, scale(m, s)))
            depths.append(s if s > 0 else 0.0)
    if cand:
        return reduce_manifold(cand, depths)
    mid = ((ca[0] + cb[0]) * 0.5, (ca[1] + cb[1]) * 0.5, (ca[2] + cb[2]) * 0.5)
    return [mid], [least]


def reduce_manifold(cand, depths):
    k = len(cand)
    if k <= 4:
        return list(cand), list(depths)

    def d2(i, j):
        d = sub(cand[i], cand[j])
        return ((0.0 + d[0] * d[0]) + d[1] * d[1]) + d[2] * d[2]

    def pick(value, start):
        index, best = 0, start
        for j in range(k):
            v = value(j)
            if v > best:
                index, best = j, v
        return index

    i0 = pick(lambda j: cand[j][0], cand[0][0])
    i1 = pick(lambda j: d2(j, i0), -1.0)
    i2 = pick(lambda j: sqrt(d2(j, i0)) + sqrt(d2(j, i1)), -1.0)
    i3 = pick(lambda j: sqrt(d2(j, i2)), -1.0)
    order = []
    for i in (i0, i1, i2, i3):
        if i not in order:
            order.append(i)
    return [cand[i] for i in order], [depths[i] for i in order]


def box_box(ca, Ra, ha, cb, Rb, hb):
    """Oriented box against oriented box: (count, normal from a towards b,
    points, depths) with at most four contacts on the reference face."""
    ca, Ra, ha, cb, Rb, hb = _vec(ca), _mat(Ra), _vec(ha), _vec(cb), _mat(Rb), _vec(hb)
    r = box_sat(ca, Ra, ha, cb, Rb, hb)
    if r is None:
        return SEPARATED
    normal, pts, dep = r
    return (len(pts), tuple(normal), [tuple(p) for p in pts], list(dep))


# --------------------------------------------------------------- capsules


def closest_pt_triangle(p, a, b, c):
    ab, ac, pa = sub(b, a), sub(c, a), sub(p, a)
    s1, s2 = dot(ab, pa), dot(ac, pa)
    if s1 <= 0 and s2 <= 0:
        return a
    pb = sub(p, b)
    s3, s4 = dot(ab, pb), dot(ac, pb)
    if s3 >= 0 and s4 <= s3:
        return b
    wc = s1 * s4 - s3 * s2
    if wc <= 0 and s1 >= 0 and s3 <= 0:
        return add(a, scale(ab, s1 / (s1 - s3)))
    pc = sub(p, c)
    s5, s6 = dot(ab, pc), dot(ac, pc)
    if s6 >= 0 and s5 <= s6:
        return c
    wb = s5 * s2 - s1 * s6
    if wb <= 0 and s2 >= 0 and s6 <= 0:
        return add(a, scale(ac, s2 / (s2 - s6)))
    wa = s3 * s6 - s5 * s4
    if wa <= 0 and (s4 - s3) >= 0 and (s5 - s6) >= 0:
        return add(b, scale(sub(c, b), (s4 - s3) / ((s4 - s3) + (s5 - s6))))
    g = 1 / (wa + wb + wc)
    return add(add(a, scale(ab, wb * g)), scale(ac, wc * g))


def _clamp(x):
    return 0.0 if x < 0 else (1.0 if x > 1 else x)


def closest_pts_segment_segment(p1, q1, p2, q2):
    u, w, r = sub(q1, p1), sub(q2, p2), sub(p1, p2)
    A, E, F = dot(u, u), dot(w, w), dot(w, r)
    if A <= 1e-09 and E <= 1e-09:
        return p1, p2
    if A <= 1e-09:
        s, t = 0.0, _clamp(F / E)
    else:
        C = dot(u, r)
        if E <= 1e-09:
            t, s = 0.0, _clamp(-C / A)
        else:
            B = dot(u, w)
            D = A * E - B * B
            s = _clamp((B * F - C * E) / D) if D > 1e-09 else 0.0
            t = (B * s + F) / E
            if t < 0:
                t, s = 0.0, _clamp(-C / A)
            elif t > 1:
                t, s = 1.0, _clamp((B - C) / A)
    return add(p1, scale(u, s)), add(p2, scale(w, t))


def capsule_triangle_contact(c0, c1, radius, v0, v1, v2):
    """The contact of capsule c0-c1 of `radius` with triangle v0 v1 v2: None
    for a miss, else (point on the triangle, normal from the triangle towards
    the capsule, depth)."""
    centre = scale(add(c1, c0), 0.5)
    radius_sq = radius * radius
    e1, e2 = sub(v1, v0), sub(v2, v0)
    cr = (e1[1] * e2[2] - e2[1] * e1[2], e2[0] * e1[2] - e1[0] * e2[2], e1[0] * e2[1] - e2[0] * e1[1])
    face_len = sqrt(dot(cr, cr))
    if face_len <= 1e-09:
        return None
    winding = (cr[0] / face_len, cr[1] / face_len, cr[2] / face_len)
    normal = neg(winding) if dot(sub(centre, v0), winding) < 0 else winding
    best_reach, bestpt = -1e300, None
    for sp in (c0, c1):
        height = dot(sub(sp, v0), normal)
        foot = sub(sp, scale(normal, height))
        tp = closest_pt_triangle(sp, v0, v1, v2)
        ft = sub(foot, tp)
        reach = radius - height
        if dot(ft, ft) <= 1e-18 and reach > 0 and reach > best_reach:
            best_reach, bestpt = reach, tp
    if bestpt is not None:
        return bestpt, normal, best_reach
    best_d2, best = 1e300, None
    cands = [(sp, closest_pt_triangle(sp, v0, v1, v2)) for sp in (c0, c1)]
    cands += [closest_pts_segment_segment(c0, c1, a, b) for a, b in ((v0, v1), (v1, v2), (v2, v0))]
    for axis_pt, tri_pt in cands:
        d = sub(axis_pt, tri_pt)
        d2 = dot(d, d)
        if d2 < best_d2:
            best_d2, best = d2, (axis_pt, tri_pt)
    # No candidate below the starting distance (overflow or NaN): a miss.
    if best is None or best_d2 >= radius_sq:
        return None
    bsp, btp = best
    dist = sqrt(best_d2)
    if dist > 1e-09:
        n = ((bsp[0] - btp[0]) / dist, (bsp[1] - btp[1]) / dist, (bsp[2] - btp[2]) / dist)
    else:
        n = winding
    return btp, n, radius - dist


def capsule_triangles(cp0, cp1, radius, verts, hit, points, normals, depths):
    """capsule_triangle_contact for every triangle of verts ((N, 3, 3)),
    written in place like the native function: a hit sets hit[i] = 1 and
    row i of points, normals and depths; a miss sets only hit[i] = 0."""
    c0, c1, r = _vec(cp0), _vec(cp1), float(radius)
    for i in range(len(verts)):
        tri = verts[i]
        found = capsule_triangle_contact(c0, c1, r, _vec(tri[0]), _vec(tri[1]), _vec(tri[2]))
        hit[i] = 0 if found is None else 1
        if found is not None:
            point, normal, depth = found
            depths[i] = depth
            points[i][0], points[i][1], points[i][2] = point
            normals[i][0], normals[i][1], normals[i][2] = normal
