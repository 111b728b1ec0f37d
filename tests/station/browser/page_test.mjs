// Drives sorvel-station's page in headless Chromium through one whole upgrade of a box.
//
//   node page_test.mjs URL
//
// URL is the page's address as the station printed it. The station must run with its slots
// idle; slot SORVEL_BROWSER_SLOT (default 1) must have a simulated box that completes an upgrade
// with the two reboot prompts. The other slots are never started; the first of them is given
// the unit id "SN-typing" (typed while the upgrade runs). Environment:
//   SORVEL_BROWSER_SLOT      the slot with the box (default 1)
//   SORVEL_BROWSER_SHOT      where to save a screenshot when the test fails
//   SORVEL_BROWSER_CHROMIUM  the browser (default /usr/bin/chromium)
//   SORVEL_BROWSER_TIMEOUT   seconds allowed for the whole upgrade (default 180)
// Exit status: 0 when every check passed, 1 when one failed, 2 for a usage error, 77 when
// playwright-core (scripts/install-deps installs it) or the browser is missing.
import fs from 'node:fs';

const url = process.argv[2];
if (!url || process.argv.length > 3 || !/^https?:\/\//.test(url)) {
    console.error('usage: node page_test.mjs URL   (the address sorvel-station printed)');
    process.exit(2);
}
const chromiumPath = process.env.SORVEL_BROWSER_CHROMIUM || '/usr/bin/chromium';
let chromium;
try {
    ({ chromium } = await import('playwright-core'));
} catch (e) {
    console.error(`page_test: no playwright-core (${e.code}): run scripts/install-deps`);
    process.exit(77);
}
if (!fs.existsSync(chromiumPath)) {
    console.error(`page_test: no browser at ${chromiumPath} (Debian's chromium package)`);
    process.exit(77);
}
const slotId = Number(process.env.SORVEL_BROWSER_SLOT || 1);
const upgradeMs = 1000 * Number(process.env.SORVEL_BROWSER_TIMEOUT || 180);
const unit = 'SN-<b>42</b>&"x"';  // markup in a unit id must show as text, never as elements
const rebootPrompt = 'Please wait for the Set Top Box reboots and then click on OK';
const panelPrompt = "Please wait for the front panel displays 'FILE'\nand click on OK";

let step = 'starting';
const log = msg => console.log(`page_test: ${msg}`);
function check(cond, msg) { if (!cond) throw new Error(msg); }
class Ended extends Error {}  // the upgrade ended too soon: no use waiting on

// Polls fn until it returns true; anything else it returns is what was last seen, named in
// the error on timeout.
async function until(what, fn, ms = 15000) {
    const end = Date.now() + ms;
    for (;;) {
        let seen;
        try { seen = await fn(); } catch (e) {
            if (e instanceof Ended) throw e;
            seen = `(${e.message.split('\n')[0]})`;
        }
        if (seen === true) return;
        if (Date.now() > end) {
            throw new Error(`timed out after ${ms / 1000} s waiting for ${what}; last seen: ${JSON.stringify(seen)}`);
        }
        await new Promise(r => setTimeout(r, 100));
    }
}
const stateAt = async page => (await page.request.get(new URL('/api/state', url).href)).json();

const browser = await chromium.launch({ executablePath: chromiumPath, headless: true });
const context = await browser.newContext({ viewport: { width: 1400, height: 1000 } });
const page = await context.newPage();
const pageErrors = [];
page.on('pageerror', e => pageErrors.push(e.message));
page.on('console', m => { if (/Content.Security.Policy/i.test(m.text())) pageErrors.push(m.text()); });
let failed = false;

try {
    step = 'opening the page';
    const res = await page.goto(url, { waitUntil: 'load', timeout: 30000 });
    check(res && res.ok(), `GET ${url} answered ${res && res.status()}`);
    const token = await page.locator('meta[name="sorvel-token"]').getAttribute('content');
    check(token && token !== '{{TOKEN}}', `the page holds no token (meta content ${JSON.stringify(token)})`);

    step = 'the cards when every slot is idle';
    const state = await stateAt(page);
    const n = state.slots.length;
    check(n >= 1 && state.slots.some(s => s.id === slotId), `slot ${slotId} is not among ${n} slots`);
    await until(`${n} idle cards`, async () => {
        const states = await page.locator('[data-slot]').evaluateAll(cs => cs.map(c => c.dataset.state));
        return states.length === n && states.every(s => s === 'idle') || states.join(',');
    });
    const ports = await page.locator('[data-slot] [data-role=port]').allTextContents();
    check(JSON.stringify(ports) === JSON.stringify(state.slots.map(s => s.port)),
        `the cards show ports ${ports}, the station has ${state.slots.map(s => s.port)}`);
    check(await page.getByRole('button', { name: 'Start all' }).isVisible(), 'no "Start all" button');
    check(!(await page.locator('[data-role=banner]').isVisible()), 'the connection banner shows while connected');

    step = 'POSTs without the token';
    const refused = await page.evaluate(async id => {
        const bare = await fetch(`/api/slots/${id}/rearm`, { method: 'POST' });
        const wrong = await fetch(`/api/slots/${id}/rearm`, { method: 'POST',
            headers: { 'X-Sorvel-Token': 'not-the-token', 'Content-Type': 'application/json' }, body: '{}' });
        return [bare.status, wrong.status];
    }, slotId);
    check(refused[0] === 403 && refused[1] === 403, `POST without/with a wrong token answered ${refused}, not 403`);

    step = 'a refused start shows its reason on the card';
    const card = page.locator(`[data-slot="${slotId}"]`);
    const stateOf = async () => {
        const s = await card.getAttribute('data-state');
        if (s === 'failed' || s === 'stopped') {
            throw new Ended(`the upgrade ended ${s}: ${await card.locator('[data-role=outcome]').innerText()}`);
        }
        return s;
    };
    const input = card.locator('[data-role=unit-input]');
    const startPath = `**/api/slots/${slotId}/start`;
    await page.route(startPath, r => r.fulfill({ status: 409, contentType: 'application/json',
        body: JSON.stringify({ error: `slot ${slotId} is running` }) }));
    await input.fill(unit);
    await input.press('Enter');
    await until('the refusal on the card', async () =>
        (await card.locator('[data-role=error]').isVisible()) &&
        (await card.locator('[data-role=error]').textContent()).includes(`slot ${slotId} is running`));
    check(await input.inputValue() === unit, 'the typed unit id was lost after a refused start');
    await page.unroute(startPath);

    step = 'starting the slot with Enter';
    // Another idle slot's unit input is typed into while this slot runs: the updates must
    // leave it its focus and text.
    const other = state.slots.find(s => s.id !== slotId);
    const otherInput = other && page.locator(`[data-slot="${other.id}"] [data-role=unit-input]`);
    const before = state.slots.find(s => s.id === slotId);
    await input.press('Enter');
    await until('the card to leave idle', async () => (await stateOf()) !== 'idle' || 'idle');
    check(!(await card.locator('[data-role=error]').isVisible()), 'the error stayed after a good start');
    await until('the unit id on the card', async () =>
        (await card.locator('[data-role=unit]').textContent()).includes(unit));
    if (otherInput) {
        // Half the id typed, the slot changes (its unit id set from elsewhere), the rest typed.
        await otherInput.click();
        await otherInput.pressSequentially('SN-typ', { delay: 30 });
        await page.evaluate(async ([id, token]) => fetch(`/api/slots/${id}/unit`, { method: 'POST',
            headers: { 'X-Sorvel-Token': token, 'Content-Type': 'application/json' }, body: '{"unit": "SN-typ"}' }),
        [other.id, token]);
        await page.waitForTimeout(500);
        await otherInput.pressSequentially('ing', { delay: 30 });
    }
    await until('state running', async () => ['running', 'prompt'].includes(await stateOf()) || await stateOf(), 30000);

    // Each prompt: its text, its OK button; the answer takes the card out of the prompt.
    for (const [i, text] of [rebootPrompt, panelPrompt].entries()) {
        step = `prompt ${i + 1}`;
        await until(`prompt ${i + 1} (${JSON.stringify(text)})`, async () => {
            const s = await stateOf();
            if (s !== 'prompt') return s;
            const shown = await card.locator('[data-role=prompt-text]').innerText();
            return shown.trim() === text || `prompt: ${shown}`;
        }, upgradeMs);
        if (i === 0 && otherInput) {
            // The updates of both slots meanwhile left the input alone.
            check(await otherInput.evaluate(e => e === document.activeElement),
                `slot ${other.id}'s unit input lost the focus during the upgrade`);
            check(await otherInput.inputValue() === 'SN-typing',
                `slot ${other.id}'s unit input holds ${JSON.stringify(await otherInput.inputValue())}`);
        }
        const ok = card.getByRole('button', { name: 'OK', exact: true });
        check(await ok.isVisible(), `no OK button on prompt ${i + 1}`);
        await ok.click();
        await until(`the card to leave prompt ${i + 1}`, async () => (await stateOf()) !== 'prompt' ||
            (await card.locator('[data-role=prompt-text]').innerText()).trim() !== text || 'prompt', 30000);
    }
    if (otherInput) {
        step = 'the unit id typed in another slot reaches the station';
        await until(`slot ${other.id}'s unit id at the station`, async () => {
            const s = await stateAt(page);
            const u = s.slots.find(x => x.id === other.id).unit;
            return u === 'SN-typing' || u;
        });
    }

    step = 'the upgrade ends';
    await until('state updated', async () => (await stateOf()) === 'updated' || await stateOf(), upgradeMs);
    const headline = await card.locator('[data-role=headline]').innerText();
    check(headline.startsWith('Your Brevon Box was updated'), `the outcome reads ${JSON.stringify(headline)}`);
    const counters = `updated ${before.updated + 1} · failed ${before.failed}`;
    check(await card.locator('[data-role=counters]').innerText() === counters,
        `the counters read ${JSON.stringify(await card.locator('[data-role=counters]').innerText())}, not ${counters}`);

    step = 'the record';
    const newest = page.locator('[data-role=record]').first();
    await until('the newest record row to be the unit\'s', async () =>
        (await newest.getAttribute('data-unit')) === unit || await newest.innerText());
    const cells = await newest.locator('td').allInnerTexts();
    check(cells[2] === unit && cells[4] === 'updated' && cells[1] === before.port,
        `the newest record row reads ${JSON.stringify(cells)}`);
    check(await page.locator('b').count() === 0, 'markup from the unit id became elements');

    step = 'next box';
    await card.getByRole('button', { name: 'Next box' }).click();
    await until('state idle again', async () => (await stateOf()) === 'idle' || await stateOf());
    await until('an empty unit input', async () => (await input.inputValue()) === '' || await input.inputValue());

    step = 'a lost connection';
    // A second page whose event stream fails: the banner shows; once the stream is back the
    // page shows the state and hides the banner.
    const lost = await context.newPage();
    await lost.route('**/api/events', r => r.abort());
    await lost.goto(url);
    await until('the banner', () => lost.locator('[data-role=banner]').isVisible());
    await lost.unroute('**/api/events');
    await until('the banner to go', async () => !(await lost.locator('[data-role=banner]').isVisible()), 20000);
    await until(`${n} cards after reconnecting`, async () => (await lost.locator('[data-slot]').count()) === n);
    await lost.close();

    check(pageErrors.length === 0, `the page reported errors: ${pageErrors.join('; ')}`);
    log(`passed: slot ${slotId} of ${n} upgraded through the page`);
} catch (e) {
    failed = true;
    console.error(`page_test: FAILED at ${step}: ${e.message}`);
    if (pageErrors.length) console.error(`page_test: page errors: ${pageErrors.join('; ')}`);
    // What each card showed: its state, step and any refusal from the station.
    const cards = await page.locator('[data-slot]').evaluateAll(cs => cs.map(c => {
        const text = role => { const e = c.querySelector(`[data-role=${role}]`); return e && !e.hidden ? e.textContent : ''; };
        return `slot ${c.dataset.slot}: ${c.dataset.state} | ${text('step')} | ${text('error')}`;
    })).catch(() => []);
    for (const c of cards) console.error(`page_test:   ${c}`);
    const shot = process.env.SORVEL_BROWSER_SHOT;
    if (shot) {
        await page.screenshot({ path: shot, fullPage: true }).then(() => console.error(`page_test: screenshot ${shot}`),
            err => console.error(`page_test: no screenshot: ${err.message}`));
    }
} finally {
    await browser.close();
}
process.exit(failed ? 1 : 0);
