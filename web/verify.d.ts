// Declarations for verify.mjs: checking on a server what an fpkey key signed.

/** Which check failed; "fpkey-verify" prints the same names. */
export type Check = "public key" | "signature form" | "client data" | "origin" | "challenge" | "text" | "signature";

/** A failed check and a one-line reason. */
export interface Failure<C extends Check = Check> {
  ok: false;
  check: C;
  reason: string;
}

/** Result of a plain signature check. */
export type SignatureResult = { ok: true } | Failure<"public key" | "signature form" | "signature">;

/** What a verified assertion says about who touched the key. */
export interface Assertion {
  ok: true;
  user: string;
  /** Finger number 1..10. */
  finger: number;
  record: string;
  /** The key's serial. */
  serial: string;
  /** Where the user was asked: the desktop or the page. */
  shown: "desktop" | "page";
}

export type AssertionResult = Assertion | Failure;

/** "1234567812345678", the signer ID of every signature of the key. */
export declare const DEFAULT_SIGNER_ID: string;
/** 4096: the longest clientData accepted, in bytes. */
export declare const MAX_CLIENT_DATA: number;

/** SM3 digest (GM/T 0004): 32 bytes. */
export declare function sm3(bytes: Uint8Array): Uint8Array;

/** Checks a public key's text: 130 hex digits "04" || X || Y, either case, a point on the curve. */
export declare function checkPublicKey(hex: string): { ok: true } | Failure<"public key">;

/**
 * Checks an SM2 signature over SM3(Z || M) (FactorySign, DeviceSign, FingerSign).
 * @throws {TypeError} for a message or signer ID of another type, or a length that is not an
 *   integer from 0 to the message's byte length
 */
export declare function verifySignature(args: {
  /** The signer's key: 130 hex digits, either case. */
  publicKey: string;
  /** A string (its UTF-8 bytes are signed) or the bytes. */
  message: string | Uint8Array;
  /** DER hex: minimal DER or the key's 32-byte integers. */
  signature: string;
  /** Signer ID; "1234567812345678" unless given. */
  signerId?: string | Uint8Array;
  /** > 0: only the message's first `length` bytes were signed. */
  length?: number;
}): SignatureResult;

/**
 * Checks an enrolment record: the device key's signature over the finger's public key text
 * (upper case) || record || serial.
 * @throws {TypeError} when record or serial is not a string
 */
export declare function verifyEnrolment(args: {
  deviceKey: string;
  /** The enrolled finger's public key, either case. */
  publicKey: string;
  record: string;
  serial: string;
  signinfo: string;
}): SignatureResult;

/**
 * Checks a FingerAssert result: the daemon's exact clientData naming this origin, challenge
 * and text, signed by the finger's stored key. Checks run in the order of `Check`.
 * @throws {TypeError} when origin, challenge or text is not a string
 */
export declare function verifyAssertion(args: {
  /** The finger's public key stored at enrolment. */
  publicKey: string;
  /** As returned, at most 4096 bytes. */
  clientData: string | Uint8Array;
  signature: string;
  /** The site the assertion must name ("local" for a local program). */
  origin: string;
  challenge: string;
  /** The text the user must have been shown; "" (a sign-in) by default. */
  text?: string;
}): AssertionResult;

/**
 * SubjectPublicKeyInfo PEM of a public key (id-ecPublicKey on the SM2 curve).
 * @throws {TypeError} when hex is not a point on the curve
 */
export declare function publicKeyPem(hex: string): string;
