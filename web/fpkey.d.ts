// Types of fpkey.js, written by hand: each command's name maps to its params
// and its result, so that a misspelt command or a wrong argument fails to
// compile instead of failing on the key.

/** Result codes of the daemon ("reterr"), plus CONNECTION_LOST and CALL_TIMEOUT of this module. */
export declare const ResultCode: Readonly<{
  OK: 0;
  USER_EXISTS: 1;
  USER_NOT_EXISTS: 2;
  FINGERPRINT_FULL: 3;
  ONLY_ONE_FINGER: 4;
  USER_CANCELED: 5;
  FINGER_EXISTS: 6;
  TIME_OUT: 7;
  SAME_FINGERPRINT: 10;
  NO_FINGERPRINT: 11;
  FINGERPRINT_NOT_FOUND: 12;
  CANNOT_DELETE_ALL: 13;
  SM4_ERROR: 14;
  CANNOT_OPEN_DEVICE: 102;
  OPERATION_FAILED: 103;
  INVALID_PARAM: 104;
  INVALID_LENGTH: 105;
  OPEN_APP_FAILED: 106;
  VERIFY_PIN_FAILED: 107;
  SIGN_FAILED: 108;
  NO_CERTIFICATE: 109;
  BAD_JSON: 110;
  BAD_ENVELOPE: 111;
  PKCS7_FAILED: 121;
  APP_LOCKED: 122;
  SITE_NOT_ALLOWED: 130;
  SITE_PIN_LIMIT: 131;
  PIN_TRIES_KEPT: 132;
  KEY_BUSY_FOR_ANOTHER_SITE: 133;
  NOT_CONFIRMED: 134;
  UNKNOWN_FUNCTION: 164;
  NOT_SUPPORTED: 200;
  WRONG_DEVICE: 201;
  PENDING: -63;
  FP_ENROLL_FAILED: 0xe101;
  FP_MATCH_FAILED: 0xe102;
  FP_NO_FINGERPRINT: 0xe103;
  FP_AREA_TOO_SMALL: 0xe104;
  FP_IMAGE_BLUR: 0xe105;
  FP_TOO_FEW_FEATURES: 0xe106;
  FP_SAME_FINGERPRINT: 0xe107;
  FP_SAME_AREA: 0xe108;
  FP_POOR_IMAGE: 0xe109;
  FP_VERIFY_FAILED: 0xe10a;
  FP_BAD_PARAMETERS: 0xe110;
  FP_TEMPLATE_FAILED: 0xe111;
  FP_TOO_FEW_POINTS: 0xe112;
  FP_CUT_BLANK_FAILED: 0xe113;
  FP_CUT_REF_FAILED: 0xe114;
  FP_CAPTURE_FAILED: 0xe115;
  FP_STORAGE_FULL: 0xe116;
  FP_USER_CANCELED: 0xe117;
  FP_WAIT_TIMEOUT: 0xe118;
  FP_LIFT_FINGER: 0xe119;
  FP_FLASH_ERROR: 0xe120;
  FP_NOT_SUPPORTED: 0xe1cc;
  FP_PC_PRODUCT: 0xe1dd;
  CONNECTION_LOST: -1000;
  CALL_TIMEOUT: -1001;
}>;

export type ResultCodeName = keyof typeof ResultCode;

/** The name of a code ("NOT_CONFIRMED" for 134), or "UNKNOWN". */
export declare function codeNameOf(code: number): ResultCodeName | "UNKNOWN";
/** The daemon's text for a result code. */
export declare function messageOf(code: number): string;
/** The bytes of a reply string sent one character per byte (U+0000-U+00FF). */
export declare function bytesOf(text: string): Uint8Array;
export declare const DEFAULT_URL: "ws://127.0.0.1:11230/websocket";

/** A failed command. */
export declare class FpKeyError extends Error {
  constructor(reterr: number, message: string, fn: string);
  readonly name: "FpKeyError";
  /** The daemon's "reterr", or CONNECTION_LOST / CALL_TIMEOUT. */
  reterr: number;
  /** The code's name in ResultCode, e.g. "NOT_CONFIRMED". */
  code: ResultCodeName | "UNKNOWN";
  /** The daemon's text for the code. */
  result: string;
  /** The command that failed. */
  function: string;
}

/** 130 hex digits: 04 ‖ X ‖ Y. */
export type PublicKeyHex = string;
/** Hex of a DER SEQUENCE { r, s }. */
export type SignatureHex = string;
export type FingerIndex = 1 | 2 | 3 | 4 | 5 | 6 | 7 | 8 | 9 | 10;

/** Pushed by an enrolment that finished: [0, 0, finger, record, finger name, public key, signinfo, user as stored]. */
export type EnrollFinished = [0, 0, number, string, string, PublicKeyHex, SignatureHex, string];
/** A finger login's match: [0, user, finger, record name, finger name]. */
export type VerifyMatch = [0, string, number, string, string];
/** [count, names]. */
export type NameList = [number, string[]];

/** Each command: its params, and the result it resolves with. */
export interface Commands {
  GetVersion: { params: []; result: string };
  WatchDevice: { params: [] | [boolean]; result: "OK" };
  Connect: { params: []; result: "OK" };
  Disconnect: { params: []; result: "OK" };
  EnumDevice: { params: []; result: NameList };
  openDevice: { params: [name: string | null]; result: null };
  closeDevice: { params: []; result: null };
  OpenDev: { params: []; result: "OK" };
  /** Always refused (201). */
  InitDev: { params: [] | [string]; result: never };
  GetDevInfo: {
    params: [] | [level: 2 | 3 | 4 | 5];
    result: [serial: string, type: number, label?: string, devicePublicKey?: PublicKeyHex, application?: string];
  };
  GetClientID: { params: []; result: string };
  GetFacPubKey: { params: []; result: PublicKeyHex };
  GetDevPubKey: { params: []; result: PublicKeyHex };
  SetSvrPubKey: { params: [publicKey: string]; result: "OK" };
  GetUserList: { params: []; result: NameList };
  RegisterUser: { params: [user: string, finger: FingerIndex, fingerName: string]; result: [captures: number] };
  AddFinger: { params: [user: string, finger: FingerIndex, fingerName: string]; result: [captures: number] };
  WaitEnroll: { params: []; result: EnrollFinished };
  /** Always answers 5, which cancelEnroll() takes as success. */
  CancelEnroll: { params: []; result: never };
  GetFingerUsed: { params: [user: string]; result: [user: string, fingers: number[]] };
  GetFingerUnused: { params: [user: string]; result: [user: string, fingers: number[]] };
  DeleteFinger: { params: [user: string, fingers: number[]]; result: [user: string, ...deleted: (number | string)[]] };
  /** [user] deletes one user; [] or [null] every user. */
  DeleteUser: { params: [] | [user: string | null]; result: (string | number)[] };
  LoginFinger: { params: []; result: VerifyMatch };
  startVerify: { params: [] | [name: string | null]; result: null };
  /** Rejects with PENDING (-63) while the outcome is not known. */
  LoopVerify: { params: []; result: null };
  CancelVerify: { params: []; result: never };
  FactorySign: { params: [text: string] | [text: string, byteCount: number]; result: SignatureHex };
  DeviceSign: { params: [text: string] | [text: string, byteCount: number]; result: SignatureHex };
  FingerSign: { params: [text: string] | [text: string, byteCount: number]; result: SignatureHex };
  Sm2Decrypt: { params: [cipherHex: string]; result: string };
  Sm4Decrypt: { params: [cipherHex: string, keyHex: string]; result: string };
  /** With a PIN: null at once; with an empty PIN (or two params): a finger login's match. */
  rkLogin: {
    params: [name: string | null, second: string | null, pin: string | null] | [first: string | null, second: string | null];
    result: null | VerifyMatch;
  };
  rkEnumContainer: { params: []; result: NameList };
  SignDataNormal: { params: [container: string | null, dataBase64: string | null]; result: [2, [signatureBase64: string, certificateBase64: string]] };
  SignDataToPKCS7: { params: [container: string | null, dataBase64: string | null]; result: string };
  FingerAssert: { params: [challenge: string, text: string]; result: [clientData: string, signature: SignatureHex, publicKey: PublicKeyHex] };
}

export type CommandName = keyof Commands;
export type Params<K extends CommandName> = Commands[K]["params"];
export type Result<K extends CommandName> = Commands[K]["result"];

export interface CallOptions {
  /** Milliseconds; 0 for none. Default: the client's callTimeoutMs, none for pushed answers. */
  timeoutMs?: number;
  /** Aborting rejects the call at once with USER_CANCELED. */
  signal?: AbortSignal;
}

/** What ends a long operation: the page's signal, or a time limit in milliseconds. */
export interface Limit {
  signal?: AbortSignal;
  timeout?: number;
}

// Commands that may be sent without params take them as optional.
type CallArgs<K extends CommandName> = [] extends Params<K>
  ? [params?: Params<K>, opts?: CallOptions]
  : [params: Params<K>, opts?: CallOptions];

export interface FpKeyOptions {
  /** Open a new connection when the daemon goes away (default true). */
  reconnect?: boolean;
  /** connect() keeps retrying instead of failing (default false). */
  waitForDaemon?: boolean;
  /** Limit for commands answered at once (default 60000; 0: none). */
  callTimeoutMs?: number;
  /** A WebSocket constructor where there is no global one. */
  WebSocket?: unknown;
  minRetryMs?: number;
  maxRetryMs?: number;
}

export interface EnrollProgress {
  done: number;
  remaining: number;
  total: number;
  /** 0, or the sensor's complaint about the last capture (which did not count). */
  error: number;
}

export interface EnrollRecord {
  /** The name as the key stores it (cut to whole characters within 32 bytes). */
  user: string;
  fingerIndex: number;
  recordName: string;
  fingerName: string;
  publicKey: PublicKeyHex;
  signInfo: SignatureHex;
}

export interface FingerMatch {
  user: string;
  fingerIndex: number;
  recordName: string;
  fingerName: string;
}

/** What a server verifies, with the members of clientData a page may show. */
export interface Assertion {
  clientData: string;
  signature: SignatureHex;
  publicKey: PublicKeyHex;
  user: string;
  finger: number;
  record: string;
  shown: "desktop" | "page";
}

export interface Reply {
  function: string;
  randomId?: string;
  result: unknown;
  reterr: number;
}

export interface Events {
  approval: { site: string; state: "wait" | "touch" | "allowed" | "refused" };
  confirm: { site: string; state: "wait" | "touch"; text: string };
  ackEnroll: Reply;
  ackVerify: Reply;
  open: string;
  close: string;
  wire: { direction: "out" | "in"; text: string };
  reply: Reply;
  device: { name: string; productId: number; present: boolean };
  watchError: FpKeyError;
}

export declare class FpKey {
  constructor(url?: string, options?: FpKeyOptions);
  static connect(url?: string, options?: FpKeyOptions): Promise<FpKey>;
  readonly url: string;
  readonly connected: boolean;
  start(): Promise<void>;
  close(): void;
  on<E extends keyof Events>(name: E, fn: (arg: Events[E]) => void): () => void;
  off<E extends keyof Events>(name: E, fn: (arg: Events[E]) => void): void;
  call<K extends CommandName>(fn: K, ...args: CallArgs<K>): Promise<Result<K>>;
  enroll(
    user: string,
    fingerIndex: FingerIndex,
    fingerName: string,
    opts?: Limit & { addFinger?: boolean; onProgress?: (p: EnrollProgress) => void },
  ): Promise<EnrollRecord>;
  /** Default timeout 60000 ms. */
  assert(challenge: string, opts?: Limit & { text?: string }): Promise<Assertion>;
  loginFinger(opts?: Limit): Promise<FingerMatch>;
  pollVerify(opts?: Limit & { deviceName?: string | null; onPoll?: (n: number) => void }): Promise<void>;
  cancelEnroll(): Promise<void>;
  cancelVerify(): Promise<void>;
}

export default FpKey;
