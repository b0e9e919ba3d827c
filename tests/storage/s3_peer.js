'use strict';
// Runs the S3-compatible test peer (s3rver) on 127.0.0.1 and, in front of it, checks AWS
// Signature Version 4 the way Amazon S3 does (s3rver alone accepts any V4 signature):
// canonical request from the path as sent (each segment decoded and encoded again the
// strict RFC 3986 way), the signed headers (each of which must have been sent), the region,
// the secret key of the access key, and the body against x-amz-content-sha256.
//
//   node s3_peer.js <peers dir> <data dir> <port> <region> <bucket>...
//
// Prints "ready <port>" once it accepts connections, then one line per request answered
// ("<method> <path and query> <status>"); stops on SIGTERM.

const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const { Readable } = require('stream');

const [peersDir, dataDir, port, region, ...buckets] = process.argv.slice(2);
const s3rverDir = path.join(peersDir, 'node_modules', 's3rver');
const S3rver = require(s3rverDir);
const S3Error = require(path.join(s3rverDir, 'lib', 'models', 'error'));
const FilesystemStore = require(path.join(s3rverDir, 'lib', 'stores', 'filesystem'));

// s3rver answers a PUT of an object or of a part once the body has passed its digest,
// before its file write has finished: a GET right after the answer can read a partial
// object, and a completion can assemble partial parts. Hold the answer until the file has
// its full size (bounded: 10 s).
async function untilWritten(file, size) {
  for (let i = 0; i < 1000; i++) {
    if ((await fs.promises.stat(file)).size >= size) return;
    await new Promise(resolve => setTimeout(resolve, 10));
  }
}
const putObject = FilesystemStore.prototype.putObject;
FilesystemStore.prototype.putObject = async function putObjectWhenWritten(object) {
  const result = await putObject.call(this, object);
  await untilWritten(this.getResourcePath(object.bucket, object.key, 'object'), result.size);
  return result;
};
const putPart = FilesystemStore.prototype.putPart;
FilesystemStore.prototype.putPart = async function putPartWhenWritten(bucket, uploadId, partNumber, content) {
  const result = await putPart.call(this, bucket, uploadId, partNumber, content);
  const uploadDir = path.join(this.getResourcePath(bucket, undefined, 'uploads'), uploadId);
  await untilWritten(path.join(uploadDir, String(partNumber)), result.size);
  return result;
};

// s3rver assembles a multipart upload from whatever parts it is given. Check them as Amazon
// S3 does: parts in ascending order, each one uploaded with the ETag named, every part but
// the last at least 5 MiB.
const MIN_PART_SIZE = 5 * 1024 * 1024;
const putObjectMultipart = FilesystemStore.prototype.putObjectMultipart;
FilesystemStore.prototype.putObjectMultipart = async function checkedPutObjectMultipart(bucket, uploadId, parts) {
  const uploadDir = path.join(this.getResourcePath(bucket, undefined, 'uploads'), uploadId);
  if (!fs.existsSync(uploadDir)) {
    throw s3Error('NoSuchUpload', 'The specified upload does not exist.', 404);
  }
  if (parts.length === 0) throw s3Error('MalformedXML', 'The XML you provided was not well-formed.', 400);
  for (let i = 0; i < parts.length; i++) {
    if (i > 0 && parts[i].number <= parts[i - 1].number) {
      throw s3Error('InvalidPartOrder', 'The list of parts was not in ascending order.', 400);
    }
    const partPath = path.join(uploadDir, String(parts[i].number));
    const etag = fs.existsSync(`${partPath}.md5`) ? fs.readFileSync(`${partPath}.md5`, 'utf8') : undefined;
    if (etag === undefined || etag !== parts[i].etag) {
      throw s3Error('InvalidPart', 'One or more of the specified parts could not be found.', 400);
    }
    if (i < parts.length - 1 && fs.statSync(partPath).size < MIN_PART_SIZE) {
      throw s3Error('EntityTooSmall', 'Your proposed upload is smaller than the minimum allowed object size.', 400);
    }
  }
  return putObjectMultipart.call(this, bucket, uploadId, parts);
};

// s3rver does not know AbortMultipartUpload (DELETE with uploadId): remove the parts.
function abortMultipartUpload(store) {
  return async function abortUpload(ctx, next) {
    if (ctx.method !== 'DELETE' || ctx.query.uploadId === undefined) return next();
    const bucket = decodeURIComponent(ctx.path.split('/')[1] || '');
    const uploadDir = path.join(store.getResourcePath(bucket, undefined, 'uploads'), String(ctx.query.uploadId));
    if (!/^[0-9a-f]+$/.test(String(ctx.query.uploadId)) || !fs.existsSync(uploadDir)) {
      throw s3Error('NoSuchUpload', 'The specified upload does not exist.', 404);
    }
    await fs.promises.rm(uploadDir, { recursive: true, force: true });
    ctx.status = 204;
  };
}

// s3rver's own account.
const SECRETS = new Map([['S3RVER', 'S3RVER']]);

const sha256hex = data => crypto.createHash('sha256').update(data).digest('hex');
const hmac = (key, data) => crypto.createHmac('sha256', key).update(data).digest();
const encodeStrict = text =>
  encodeURIComponent(text).replace(/[!'()*]/g, c => '%' + c.charCodeAt(0).toString(16).toUpperCase());

function s3Error(code, message, status) {
  const error = new S3Error(code, message);
  error.status = status;
  error.expose = true;
  return error;
}

function canonicalUri(rawPath) {
  try {
    return rawPath.split('/').map(segment => encodeStrict(decodeURIComponent(segment))).join('/');
  } catch (e) {
    throw s3Error('InvalidURI', "Couldn't parse the specified URI.", 400);
  }
}

function canonicalQuery(rawQuery) {
  if (!rawQuery) return '';
  return rawQuery
    .split('&')
    .map(pair => {
      const [name, ...value] = pair.split('=');
      return [encodeStrict(decodeURIComponent(name)), encodeStrict(decodeURIComponent(value.join('=')))];
    })
    .sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : a[1] < b[1] ? -1 : a[1] > b[1] ? 1 : 0))
    .map(([name, value]) => `${name}=${value}`)
    .join('&');
}

async function verifySignature(ctx, next) {
  const authorization = ctx.get('authorization');
  if (!authorization.startsWith('AWS4-HMAC-SHA256 ')) return next();
  const fields = {};
  for (const part of authorization.slice('AWS4-HMAC-SHA256 '.length).split(',')) {
    const [name, ...value] = part.trim().split('=');
    fields[name] = value.join('=');
  }
  const malformed = message => s3Error('AuthorizationHeaderMalformed', message, 400);
  if (!fields.Credential || !fields.SignedHeaders || !fields.Signature) {
    throw malformed('The authorization header is malformed.');
  }
  const [accessKey, date, scopeRegion, service, terminator] = fields.Credential.split('/');
  const secret = SECRETS.get(accessKey);
  if (secret === undefined) return next();  // s3rver answers InvalidAccessKeyId
  if (scopeRegion !== region) {
    throw malformed(`The authorization header is malformed; the region '${scopeRegion}' is wrong; expecting '${region}'`);
  }
  if (service !== 's3' || terminator !== 'aws4_request') throw malformed('The credential scope is malformed.');
  const signedHeaders = fields.SignedHeaders.split(';');
  for (const required of ['host', 'x-amz-content-sha256', 'x-amz-date']) {
    if (!signedHeaders.includes(required)) throw malformed(`The header ${required} must be signed.`);
  }
  // A signed header that was not sent: Amazon S3 lets it pass as an empty value, stricter
  // S3-compatible servers refuse the request. Refuse it here too.
  const unsent = signedHeaders.filter(name => !(name in ctx.req.headers));
  if (unsent.length > 0) {
    throw s3Error('AccessDenied', `There were headers present in the signature that were not sent: ${unsent.join(', ')}`,
      403);
  }

  const url = ctx.req.url;
  const queryAt = url.indexOf('?');
  const rawPath = queryAt < 0 ? url : url.slice(0, queryAt);
  const rawQuery = queryAt < 0 ? '' : url.slice(queryAt + 1);
  const payloadHash = ctx.get('x-amz-content-sha256');
  const canonicalHeaders = signedHeaders
    .map(name => `${name}:${String(ctx.req.headers[name] || '').trim().replace(/\s+/g, ' ')}\n`)
    .join('');
  const canonicalRequest = [
    ctx.method, canonicalUri(rawPath), canonicalQuery(rawQuery), canonicalHeaders, fields.SignedHeaders, payloadHash,
  ].join('\n');
  const scope = [date, scopeRegion, service, terminator].join('/');
  const stringToSign = ['AWS4-HMAC-SHA256', ctx.get('x-amz-date'), scope, sha256hex(canonicalRequest)].join('\n');
  let key = hmac('AWS4' + secret, date);
  key = hmac(key, scopeRegion);
  key = hmac(key, service);
  key = hmac(key, terminator);
  if (hmac(key, stringToSign).toString('hex') !== fields.Signature) {
    throw s3Error('SignatureDoesNotMatch',
      'The request signature we calculated does not match the signature you provided. ' +
      'Check your key and signing method.', 403);
  }

  if (payloadHash !== 'UNSIGNED-PAYLOAD') {
    const chunks = [];
    for await (const chunk of ctx.req) chunks.push(chunk);
    const body = Buffer.concat(chunks);
    if (sha256hex(body) !== payloadHash) {
      throw s3Error('XAmzContentSHA256Mismatch',
        "The provided 'x-amz-content-sha256' header does not match what was computed.", 400);
    }
    const replay = Readable.from(body.length ? [body] : []);
    replay.headers = ctx.req.headers;
    ctx.req = replay;
  }
  return next();
}

async function main() {
  const server = new S3rver({
    address: '127.0.0.1',
    port: Number(port),
    directory: dataDir,
    silent: true,
    configureBuckets: buckets.map(name => ({ name, configs: [] })),
  });
  server.middleware.unshift(abortMultipartUpload(server.store));
  server.middleware.unshift(verifySignature);
  server.middleware.unshift(async function logRequest(ctx, next) {
    const line = `${ctx.method} ${ctx.req.url}`;
    try {
      await next();
      console.log(`${line} ${ctx.status}`);
    } catch (error) {
      console.log(`${line} ${error.status || 500}`);
      throw error;
    }
  });
  await server.run();
  console.log(`ready ${port}`);
  const stop = () => server.close().then(() => process.exit(0), () => process.exit(1));
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
}

main().catch(error => {
  console.error(error);
  process.exit(1);
});
