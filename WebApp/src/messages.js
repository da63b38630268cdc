// What the person reads when a step fails: the identity service's error
// codes in plain words. Codes, ids and raw messages are never shown.

const setUp = "Sign-in isn't set up correctly in this copy of Veltrano. Whoever installed it needs to check its settings.";

const byCode = {
  'auth/invalid-email': "That doesn't look like an email address. Check it and try again.",
  'auth/missing-email': 'Type your email address first.',
  'auth/invalid-action-code': 'This sign-in link has expired or has already been used. Send yourself a new one.',
  'auth/expired-action-code': 'This sign-in link has expired or has already been used. Send yourself a new one.',
  'auth/argument-error': "That isn't a sign-in link from Veltrano. Copy the whole link from the email.",
  'auth/network-request-failed': "Veltrano can't reach the sign-in service. Check your internet connection and try again.",
  'auth/too-many-requests': 'Too many attempts. Wait a few minutes, then try again.',
  'auth/quota-exceeded': 'Too many attempts. Wait a few minutes, then try again.',
  'auth/user-disabled': 'This account has been turned off. Ask whoever invited you to Veltrano.',
  'auth/unauthorized-continue-uri': setUp,
  'auth/invalid-continue-uri': setUp,
  'auth/missing-continue-uri': setUp,
  'auth/invalid-api-key': setUp,
  'auth/api-key-not-valid.-please-pass-a-valid-api-key.': setUp,
  'auth/operation-not-allowed': setUp,
  'auth/configuration-not-found': setUp,
  'auth/project-not-found': setUp,
};

export const notASignInLink = "That isn't a sign-in link from Veltrano. Copy the whole link from the email.";
export const otherAddress = 'This link was sent to a different email address. Type the address it was sent to.';

// When completing a link, "invalid-email" means the address does not match
// the one the link was sent to.
export function messageFor(error, step) {
  const code = error?.code ?? '';
  if (step === 'complete' && code === 'auth/invalid-email') return otherAddress;
  return byCode[code] ?? 'Something went wrong. Try again in a moment.';
}
