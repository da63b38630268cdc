// Pure rules of the email-link step, apart from the page so node tests can
// check them as tables.

// A pasted text may be the link from the email, or the app's own deep link
// around it (copied from the browser after the continue page forwarded it).
export function emailLinkFrom(text) {
  const trimmed = String(text ?? '').trim();
  if (!/^veltrano:/i.test(trimmed)) return trimmed;
  try {
    return new URL(trimmed).searchParams.get('emailLink') ?? '';
  } catch {
    return '';
  }
}

const sameAddress = (a, b) => a.trim().toLowerCase() === b.trim().toLowerCase();

// Which address completes a link, decided before any request: the address
// this person typed when asking for the link. A link that names another
// address, or arrives when none was typed here, is confirmed by the person
// first, so a link someone else was sent never signs them in unasked.
//   -> { email } to complete now, or { confirm: 'other' | 'unknown', suggested }
export function completionEmail({ linkEmail, storedEmail }) {
  if (storedEmail && (!linkEmail || sameAddress(linkEmail, storedEmail))) return { email: storedEmail };
  return { confirm: storedEmail ? 'other' : 'unknown', suggested: linkEmail ?? '' };
}

// Rough shape only; the identity service has the last word.
export const looksLikeEmail = (text) => /^[^\s@]+@[^\s@]+\.[^\s@]+$/.test(String(text ?? '').trim());
