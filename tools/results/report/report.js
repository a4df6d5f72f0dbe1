// The report page's script: the test table (filter, outcome toggles, sort,
// only the visible rows drawn), the duration charts and the benchmark charts,
// all from the JSON data block. Every recorded text goes in as textContent or
// as an SVG text node, never as markup.
(function () {
    'use strict';
    var data = JSON.parse(document.getElementById('report-data').textContent);
    var tests = data.tests; // [name, run, outcome, seconds, marks, history, failure]
    var runs = data.runs;
    var OUTCOME = ['ok', 'failed', 'ignored', 'bench'];
    var HISTORY = { o: 'passed', r: 'passed after a retry', f: 'failed', q: 'failed (quarantined)',
                    i: 'ignored', b: 'benchmark' };
    var SVG = 'http://www.w3.org/2000/svg';

    function el(tag, cls, text) {
        var e = document.createElement(tag);
        if (cls) { e.className = cls; }
        if (text !== undefined) { e.textContent = text; }
        return e;
    }
    function svg(tag, attrs, text) {
        var e = document.createElementNS(SVG, tag);
        for (var k in attrs) { e.setAttribute(k, attrs[k]); }
        if (text !== undefined) { e.textContent = text; }
        return e;
    }
    function seconds(s) {
        if (s < 0.001) { return (s * 1e6).toFixed(0) + 'µs'; }
        if (s < 1) { return (s * 1e3).toFixed(1) + 'ms'; }
        if (s < 60) { return s.toFixed(3) + 's'; }
        return Math.floor(s / 60) + 'm ' + ('0' + Math.floor(s % 60)).slice(-2) + 's';
    }
    function nanos(ns) {
        if (ns < 1e3) { return ns.toFixed(1) + ' ns'; }
        if (ns < 1e6) { return (ns / 1e3).toFixed(2) + ' µs'; }
        if (ns < 1e9) { return (ns / 1e6).toFixed(2) + ' ms'; }
        return (ns / 1e9).toFixed(3) + ' s';
    }
    function where(run) {
        var text = run.program;
        if (run.shard) { text += ' · shard ' + run.shard; }
        text += ' · ' + run.host;
        var labels = Object.keys(run.labels);
        for (var i = 0; i < labels.length; i++) { text += ' · ' + labels[i] + '=' + run.labels[labels[i]]; }
        return text;
    }

    // ---- The test table --------------------------------------------------
    function buildTable(root) {
        var shown = [];         // indices into tests, in display order
        var lower = null;       // lower-case names, made on the first filter
        var sortKey = null, sortDir = 1;
        var enabled = { 0: true, 1: true, 2: true, 3: true };

        var controls = el('div', 'controls');
        var filter = el('input');
        filter.type = 'search';
        filter.id = 'filter';
        filter.placeholder = 'filter by name';
        filter.setAttribute('aria-label', 'filter by name');
        controls.appendChild(filter);
        OUTCOME.forEach(function (name, code) {
            var label = el('label');
            var box = el('input');
            box.type = 'checkbox';
            box.checked = true;
            box.dataset.outcome = name;
            box.addEventListener('change', function () { enabled[code] = box.checked; refresh(); });
            label.appendChild(box);
            label.appendChild(document.createTextNode(' ' + name));
            controls.appendChild(label);
        });
        var count = el('span', 'where');
        count.id = 'shown-count';
        controls.appendChild(count);
        root.appendChild(controls);

        var head = el('div', 'grid-head');
        var sorters = {};
        [['name', 'name'], ['outcome', 'outcome'], ['duration', 'duration'], [null, 'where'],
         [null, 'history']].forEach(function (c) {
            if (!c[0]) { head.appendChild(el('span', '', c[1])); return; }
            var b = el('button', '', c[1]);
            b.dataset.sort = c[0];
            b.addEventListener('click', function () {
                sortDir = sortKey === c[0] ? -sortDir : 1;
                sortKey = c[0];
                for (var k in sorters) { sorters[k].removeAttribute('aria-sort'); }
                b.setAttribute('aria-sort', sortDir > 0 ? 'ascending' : 'descending');
                refresh();
            });
            sorters[c[0]] = b;
            head.appendChild(b);
        });
        root.appendChild(head);

        var viewport = el('div', 'viewport');
        viewport.id = 'table-viewport';
        var spacer = el('div');
        var rows = el('div', 'rows');
        rows.id = 'rows';
        viewport.appendChild(spacer);
        viewport.appendChild(rows);
        root.appendChild(viewport);
        var ROW = 24;

        function compare(a, b) {
            var x = tests[a], y = tests[b], d = 0;
            if (sortKey === 'outcome') {
                // Failures first, then passes, benchmarks, ignored.
                var rank = [1, 0, 3, 2];
                d = rank[x[2]] - rank[y[2]];
            } else if (sortKey === 'duration') {
                d = x[3] - y[3];
            }
            if (d === 0) { d = x[0] < y[0] ? -1 : x[0] > y[0] ? 1 : 0; }
            return d === 0 ? a - b : d * sortDir;
        }
        function refresh() {
            var needle = filter.value.toLowerCase();
            if (needle && !lower) { lower = tests.map(function (t) { return t[0].toLowerCase(); }); }
            shown = [];
            for (var i = 0; i < tests.length; i++) {
                if (!enabled[tests[i][2]]) { continue; }
                if (needle && lower[i].indexOf(needle) < 0) { continue; }
                shown.push(i);
            }
            if (sortKey) { shown.sort(compare); }
            count.textContent = shown.length + ' of ' + tests.length + ' tests';
            spacer.style.height = (shown.length * ROW) + 'px';
            viewport.style.height = Math.max(3 * ROW, Math.min(shown.length * ROW + 2,
                                                               Math.floor(window.innerHeight * 0.6))) + 'px';
            viewport.scrollTop = 0;
            draw();
        }
        function row(index) {
            var t = tests[index];
            var r = el('div', 'row');
            r.dataset.index = String(index);
            var name = el('span', 'name');
            var text = el('span', 'n', t[0]);
            text.title = t[0];
            name.appendChild(text);
            if (t[4] & 4) { name.appendChild(el('span', 'mark q', 'quarantined')); }
            if (t[4] & 3) {
                var fl = el('span', 'mark fl', 'flaky');
                fl.title = t[4] & 1 ? 'passed after a retry' : 'passed and failed in its history';
                name.appendChild(fl);
            }
            if (t[6] >= 0) {
                var a = el('a', '', 'output');
                a.href = '#f-' + t[6];
                name.appendChild(a);
            }
            r.appendChild(name);
            r.appendChild(el('span', 'outcome o-' + OUTCOME[t[2]], OUTCOME[t[2]]));
            r.appendChild(el('span', 'duration', seconds(t[3])));
            var w = where(runs[t[1]]);
            var ws = el('span', 'where', w);
            ws.title = w;
            r.appendChild(ws);
            var h = el('span', 'hist');
            h.title = 'last ' + t[5].length + ' of at most ' + data.history_limit + ' results, oldest first';
            for (var i = 0; i < t[5].length; i++) {
                var c = t[5].charAt(i);
                var mark = el('i', 'h-' + c);
                mark.title = HISTORY[c] || c;
                h.appendChild(mark);
            }
            r.appendChild(h);
            return r;
        }
        var pending = false;
        function draw() {
            pending = false;
            var first = Math.max(0, Math.floor(viewport.scrollTop / ROW) - 10);
            var last = Math.min(shown.length, first + Math.ceil(viewport.clientHeight / ROW) + 20);
            var fragment = document.createDocumentFragment();
            for (var i = first; i < last; i++) { fragment.appendChild(row(shown[i])); }
            rows.style.top = (first * ROW) + 'px';
            rows.replaceChildren(fragment);
        }
        viewport.addEventListener('scroll', function () {
            if (!pending) { pending = true; requestAnimationFrame(draw); }
        });
        filter.addEventListener('input', refresh);
        refresh();
    }

    // ---- Durations ---------------------------------------------------------
    function barChart(title, items, format) {
        // items: [label, value, failed?]
        var box = el('figure');
        box.appendChild(el('figcaption', '', title));
        var max = 0;
        items.forEach(function (it) { max = Math.max(max, it[1]); });
        var W = 560, LABEL = 260, H = 18 * items.length + 8;
        var s = svg('svg', { width: W, height: H, viewBox: '0 0 ' + W + ' ' + H, role: 'img' });
        items.forEach(function (it, i) {
            var y = 4 + i * 18;
            var label = it[0].length > 40 ? it[0].slice(0, 39) + '…' : it[0];
            var t = svg('text', { x: 0, y: y + 12 }, label);
            t.appendChild(svg('title', {}, it[0]));
            s.appendChild(t);
            var w = max > 0 ? Math.max(1, (W - LABEL - 80) * it[1] / max) : 1;
            s.appendChild(svg('rect', { x: LABEL, y: y + 2, width: w, height: 12,
                                        'class': it[2] ? 'bar failed' : 'bar' }));
            s.appendChild(svg('text', { x: LABEL + w + 4, y: y + 12 }, format(it[1])));
        });
        box.appendChild(s);
        return box;
    }
    function buildDurations(root) {
        var timed = [];
        for (var i = 0; i < tests.length; i++) { if (tests[i][2] !== 2) { timed.push(i); } }
        if (timed.length === 0) { root.appendChild(el('p', 'none', 'No test ran.')); return; }
        var slowest = timed.slice().sort(function (a, b) { return tests[b][3] - tests[a][3]; }).slice(0, 20);
        var charts = el('div', 'charts');
        var slow = barChart('The ' + slowest.length + ' slowest tests', slowest.map(function (i) {
            return [tests[i][0], tests[i][3], tests[i][2] === 1];
        }), seconds);
        slow.id = 'slowest';
        charts.appendChild(slow);
        var edges = [0.001, 0.01, 0.1, 1, 10, 60, Infinity];
        var names = ['< 1 ms', '1–10 ms', '10–100 ms', '0.1–1 s', '1–10 s', '10–60 s', '≥ 60 s'];
        var counts = edges.map(function () { return 0; });
        timed.forEach(function (i) {
            var k = 0;
            while (tests[i][3] >= edges[k]) { k++; }
            counts[k]++;
        });
        var dist = barChart('Distribution of ' + timed.length + ' durations', names.map(function (n, k) {
            return [n, counts[k], false];
        }), function (v) { return String(v); });
        dist.id = 'distribution';
        charts.appendChild(dist);
        root.appendChild(charts);
    }

    // ---- Benchmarks --------------------------------------------------------
    function lineChart(series) {
        // series: [started, run, median_ns, deviation_ns], oldest first.
        var W = 360, H = 120, P = 8;
        var lo = Infinity, hi = -Infinity;
        series.forEach(function (p) { lo = Math.min(lo, p[2] - p[3]); hi = Math.max(hi, p[2] + p[3]); });
        if (!(hi > lo)) { hi = lo + 1; }
        var x = function (i) { return series.length > 1 ? P + (W - 2 * P) * i / (series.length - 1) : W / 2; };
        var y = function (v) { return H - P - (H - 2 * P) * (v - lo) / (hi - lo); };
        var s = svg('svg', { width: W, height: H, viewBox: '0 0 ' + W + ' ' + H, role: 'img' });
        s.appendChild(svg('line', { x1: P, y1: H - P, x2: W - P, y2: H - P, 'class': 'axis' }));
        var top = [], bottom = [], line = [];
        series.forEach(function (p, i) {
            top.push(x(i) + ',' + y(p[2] + p[3]));
            bottom.unshift(x(i) + ',' + y(p[2] - p[3]));
            line.push(x(i) + ',' + y(p[2]));
        });
        s.appendChild(svg('polygon', { points: top.concat(bottom).join(' '), 'class': 'band' }));
        s.appendChild(svg('polyline', { points: line.join(' '), 'class': 'line' }));
        series.forEach(function (p, i) {
            var dot = svg('circle', { cx: x(i), cy: y(p[2]), r: 2.5, 'class': 'line' });
            dot.appendChild(svg('title', {}, p[0] + ' run ' + p[1] + ': ' + nanos(p[2]) + ' ± ' + nanos(p[3])));
            s.appendChild(dot);
        });
        return s;
    }
    function buildBenchmarks(root) {
        if (data.benches.length === 0) {
            root.appendChild(el('p', 'none', 'No benchmark was measured in these runs.'));
            return;
        }
        var charts = el('div', 'charts');
        data.benches.forEach(function (b) {
            var box = el('div', 'bench');
            var title = el('h3', 'name', b.name);
            if (b.verdict) { title.appendChild(el('span', 'verdict ' + b.verdict, b.verdict)); }
            box.appendChild(title);
            var line = nanos(b.median_ns) + ' ± ' + nanos(b.deviation_ns) + ' per iteration';
            if (b.mb_s !== null) { line += ' · ' + b.mb_s + ' MB/s'; }
            line += ' · ' + b.series.length + (b.series.length === 1 ? ' run' : ' runs') + ' stored';
            box.appendChild(el('p', 'where', line));
            if (b.verdict) {
                box.appendChild(el('p', 'where', b.verdict === 'new'
                    ? 'not in the baseline ' + b.baseline
                    : (b.change_pct > 0 ? '+' : '') + b.change_pct + '% against the baseline ' +
                      b.baseline + ' (p = ' + b.p.toPrecision(3) + ')'));
            }
            if (b.series.length > 0) { box.appendChild(lineChart(b.series)); }
            charts.appendChild(box);
        });
        root.appendChild(charts);
    }

    buildTable(document.getElementById('table-app'));
    buildDurations(document.getElementById('durations-app'));
    buildBenchmarks(document.getElementById('benchmarks-app'));
    document.documentElement.dataset.ready = String(performance.now());
})();
