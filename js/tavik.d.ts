export * from './core.js';
export * from './jose.js';
